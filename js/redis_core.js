'use strict';
// What the Node Redis engine (js/redis_engine.js) sends to Redis, the same as
// vorn/_redis_core.py: the limit as the Lua scripts take it (arguments, key
// names, costs) and the digest that stands for a client in a key name. No Redis
// client is used here.
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

const WINDOW_MS = 60000;
const U64_MAX = (1n << 64n) - 1n;

const LIMITERS = {
  token_bucket: { tag: 'tb', command: 'vornTokenBucket', refused: 'token_exhausted' },
  sliding_window: { tag: 'sw', command: 'vornSlidingWindow', refused: 'limit_exceeded' },
  fixed_window: { tag: 'fw', command: 'vornFixedWindow', refused: 'limit_exceeded' },
  leaky_bucket: { tag: 'lb', command: 'vornLeakyBucket', refused: 'limit_exceeded' },
};
// lua/limits.lua, which decides any limit of one to four rates.
const LIMITS_COMMAND = 'vornLimits';

// The package carries the scripts beside js/; a checkout has them at the top too.
function scriptText(limiter) {
  return fs.readFileSync(path.join(__dirname, '..', 'lua', `${limiter}.lua`), 'utf8');
}

function limiterFor(algorithm) {
  // Every other name, recognised or not, runs the token bucket.
  return ['sliding_window', 'fixed_window', 'leaky_bucket'].includes(algorithm)
    ? algorithm : 'token_bucket';
}

// A capacity as a count of requests: truncated, NaN and negatives 0, saturating.
function wholeCount(value) {
  if (!(value > 0)) return '0';
  if (value >= 2 ** 64) return U64_MAX.toString();
  return BigInt(Math.trunc(value)).toString();
}

// A number as the script reads it back exactly (Lua's tonumber).
function scriptNumber(value) {
  if (Number.isNaN(value)) return 'nan';
  if (value === Infinity) return 'inf';
  if (value === -Infinity) return '-inf';
  return String(value);
}

// A number in a key, written the same way by both hosts: whole numbers below
// 2^53 as digits, everything else by its bits.
function keyNumber(value) {
  if (Number.isNaN(value)) return 'nan';
  if (value === Infinity) return 'inf';
  if (value === -Infinity) return '-inf';
  if (Number.isInteger(value) && Math.abs(value) < 2 ** 53) return String(value === 0 ? 0 : value);
  const bits = Buffer.alloc(8);
  bits.writeDoubleBE(value);
  return `x${bits.toString('hex')}`;
}

// What one configuration sends to Redis: the scripts' arguments and the key
// prefix that keeps engines with other limits apart. `args` are the one-rate
// script's (null for several rates); `rateArgs` are lua/limits.lua's, two per
// rate. A limit of one rate writes the same key and state as the one-rate engine
// of that capacity and rate (or count and window), so both share a client's
// state; the key of several rates names each rate as written.
function limitsFor(algorithm, capacity, refillRate, prefix, rates) {
  const limiter = limiterFor(algorithm);
  const wholeCosts = limiter === 'sliding_window' || limiter === 'fixed_window';
  let pairs;
  if (rates === undefined) {
    pairs = [[capacity, wholeCosts ? WINDOW_MS : refillRate]];
  } else {
    // The refill the native engine derives, in the same operations.
    pairs = rates.map(([count, windowMs]) => [count,
      wholeCosts ? windowMs : count * 1000 / windowMs]);
  }
  const rateArgs = [];
  const shapes = [];
  for (const [first, second] of pairs) {
    if (wholeCosts) {
      const count = wholeCount(first);
      rateArgs.push(count, String(second));
      shapes.push(`${count}:${second}`);
    } else {
      rateArgs.push(scriptNumber(first), scriptNumber(second));
      shapes.push(`${keyNumber(first)}:${keyNumber(second)}`);
    }
  }
  const { tag, command, refused } = LIMITERS[limiter];
  const single = pairs.length === 1;
  if (!single) {
    // The key of several rates names each as written: "tb:300/60000;1000/3600000:".
    shapes.splice(0, shapes.length, ...rates.map(([count, windowMs]) =>
      `${wholeCosts ? wholeCount(count) : keyNumber(count)}/${windowMs}`));
  }
  // probeKey lies outside every client's key space, and belongs to this algorithm
  // and configuration only: what the probe of a failed Redis checks.
  return { limiter, kind: tag, command, refused, wholeCosts, single, rateArgs,
    args: single ? rateArgs : null, keyPrefix: `${prefix}${tag}:${shapes.join(';')}:`,
    probeKey: `${prefix}probe:${tag}:${shapes.join(';')}` };
}

// A request's cost (or a refund's amount), refused as the native engine refuses
// it: a finite number >= 0, whole for the window algorithms.
function checkedCost(cost, wholeCosts, algorithm) {
  if (cost === undefined) return 1;
  if (typeof cost !== 'number') {
    let given;
    if (typeof cost === 'string') given = `"${cost}"`;
    else if (typeof cost === 'bigint') given = `${cost}n`;
    else given = String(cost);
    throw new TypeError(`cost must be a number, not ${given}`);
  }
  if (!Number.isFinite(cost) || cost < 0) {
    throw new RangeError(`cost must be a finite number >= 0, not ${cost}`);
  }
  if (wholeCosts && !Number.isInteger(cost)) {
    throw new RangeError(`cost must be a whole number for ${algorithm}, not ${cost}`);
  }
  return cost;
}
// The digests of the keys seen lately, so that a busy client is hashed once.
const recentDigests = new Map();

// What a key name holds of a client's key (its identity or address): the first
// 16 bytes of the SHA-256 of its UTF-8, in unpadded base64url. The Python
// package writes the same, so both share a client's count; the key itself (an
// API key, say) is never stored.
function keyDigest(key) {
  let digest = recentDigests.get(key);
  if (digest === undefined) {
    digest = crypto.createHash('sha256').update(key, 'utf8').digest().subarray(0, 16)
      .toString('base64url');
    if (recentDigests.size >= 4096) recentDigests.clear();
    recentDigests.set(key, digest);
  }
  return digest;
}

module.exports = { LIMITS_COMMAND, checkedCost, keyDigest, keyNumber, limitsFor, scriptNumber,
  scriptText, wholeCount };
