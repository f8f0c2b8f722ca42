'use strict';
// Runs every case of tests/rate_cases.txt through new VornNode(config, rates),
// or with VORN_RATE_CASES_ZONE_DIR set new VornZoneNode in zones of that
// directory, on the clock the file VORN_TEST_CLOCK_FILE scripts (see
// rate_cases.test.js), and writes one JSON line per check: [line, tabled, told],
// each answer as [reason, remaining, next, reset, rate].
const fs = require('node:fs');
const path = require('node:path');
const { addonPath, repoRoot } = require('./addon.js');

const BASE_MS = 1700000000000;
const { VornNode, VornZoneNode } = require(addonPath);
const zoneDir = process.env.VORN_RATE_CASES_ZONE_DIR;
const clock = fs.openSync(process.env.VORN_TEST_CLOCK_FILE, 'r+');
const setClock = (ms) => {
  const bytes = Buffer.alloc(8);
  bytes.writeBigUInt64LE(BigInt(ms));
  fs.writeSync(clock, bytes, 0, 8, 0);
};

// [{ algorithm, rates, steps: [{ line, at, operation, key, cost, tabled }] }]
function readCases() {
  const cases = [];
  const text = fs.readFileSync(path.join(repoRoot, 'tests', 'rate_cases.txt'), 'utf8');
  for (const [index, line] of text.split('\n').entries()) {
    const words = line.trim().split(/\s+/);
    if (words[0] === '' || words[0].startsWith('#')) continue;
    if (words[0] === 'case') {
      const rates = words.slice(2).map((rate) => rate.split('/').map(Number));
      cases.push({ algorithm: words[1], rates, steps: [] });
      continue;
    }
    const [at, operation, key, cost, ...answer] = words;
    cases[cases.length - 1].steps.push({ line: index + 1, at: Number(at), operation, key,
      cost: cost === undefined ? undefined : Number(cost), tabled: answer.join(' ') });
  }
  return cases;
}

const wait = (ms) => (ms === null ? 'never' : String(ms));

readCases().forEach(({ algorithm, rates, steps }, at) => {
  setClock(BASE_MS);
  const config = { algorithm };
  const engine = zoneDir === undefined ? new VornNode(config, rates, VornNode.withRates)
    : new VornZoneNode({ ...config, zone: `case-${at}`, zoneDir }, rates, VornZoneNode.withRates);
  for (const { line, at: ms, operation, key, cost, tabled } of steps) {
    setClock(BASE_MS + ms);
    if (operation === 'refund') engine.refund(key, cost);
    if (operation === 'reset') engine.reset(key);
    if (operation !== 'check') continue;
    // A cost of 1 goes as none, the way most checks are made.
    const result = engine.checkLimits(key, '/', BASE_MS + ms, cost === 1 ? undefined : cost);
    const rate = engine.policies.findIndex((policy) => policy.limit === result.limit &&
      policy.windowMs === result.windowMs);
    const told = [result.reason, result.remaining, wait(result.retryAfterMs),
      wait(result.resetAfterMs), rate].join(' ');
    // Active mode admits exactly what is within the limit.
    const agreed = result.allowed === (result.reason === 'within_limit');
    const answer = agreed ? told : `${told} (allowed ${result.allowed})`;
    process.stdout.write(`${JSON.stringify([line, tabled, answer])}\n`);
  }
});
