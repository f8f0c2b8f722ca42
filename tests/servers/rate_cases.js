'use strict';
// The table of limits of several rates, costs, refunds and resets
// (tests/rate_cases.txt) as the Node Redis tests run it, and the scripted clock
// they run it on: a day ahead of the server's, so a key lives for as long as the
// scripted time says (the scripts extend a key's life by how far a clock passed
// in runs ahead) and a slow step never finds it gone early.
const fs = require('node:fs');
const path = require('node:path');
const { repoRoot } = require('./redis_support');

const AHEAD_BASE_MS = Date.now() + 86400000;

const wait = (text) => (text === 'never' ? null : Number(text));

// [{ algorithm, rates: [[count, windowMs]], steps: [{ at, operation, key, cost,
//   expected: [reason, remaining, nextMs, resetMs, rate] (checks), line }] }]
function readRateCases() {
  const cases = [];
  const lines = fs.readFileSync(path.join(repoRoot, 'tests', 'rate_cases.txt'), 'utf8').split('\n');
  for (const [index, line] of lines.entries()) {
    const words = line.trim().split(/\s+/);
    if (words[0] === '' || words[0].startsWith('#')) continue;
    if (words[0] === 'case') {
      const rates = words.slice(2).map((rate) => rate.split('/').map(Number));
      cases.push({ algorithm: words[1], rates, steps: [] });
      continue;
    }
    const [at, operation, key, cost, reason, remaining, nextMs, resetMs, rate] = words;
    cases[cases.length - 1].steps.push({ at: Number(at), operation, key,
      cost: cost === undefined ? undefined : Number(cost), line: index + 1,
      expected: operation === 'check'
        ? [reason, Number(remaining), wait(nextMs), wait(resetMs), Number(rate)] : null });
  }
  return cases;
}

// A checkLimits result in the table's terms; the rate is found by its policy.
function told(result, policies) {
  const rate = policies.findIndex((policy) => policy.limit === result.limit &&
    policy.windowMs === result.windowMs);
  return [result.reason, result.remaining, result.retryAfterMs, result.resetAfterMs, rate];
}

module.exports = { AHEAD_BASE_MS, readRateCases, told };
