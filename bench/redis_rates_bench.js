'use strict';
// Checks per second of the Node Redis engine for a limit of one rate and of two,
// on one redis-server, with 64 checks in flight.
//
// Usage: node bench/redis_rates_bench.js REDIS_URL [builddir] [--json FILE]
//            [--rounds N] [--checks N]
//
// Rows (4,096 client keys in rotation, every check admitted, checkLimits), for
// the token bucket and the sliding window: one rate of cost 1 (the limiter's own
// script), one rate of cost 2 (lua/limits.lua), two rates of cost 1
// (lua/limits.lua). Rounds alternate over the rows; each figure is the median
// checks per second, each ratio the median of the per-round ratios of time per
// check (two rates / one); the Redis server's time per script call (INFO
// commandstats) is told beside each row.
const fs = require('node:fs');
const path = require('node:path');

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at < 0 ? fallback : args[at + 1];
};
const url = args[0];
const positional = args.filter((arg, i) => !arg.startsWith('--') &&
  (i === 0 || !args[i - 1].startsWith('--')));
const build = path.resolve(positional[1] || path.join(__dirname, '..', 'build'));
const jsonPath = option('--json', null);
const ROUNDS = Number(option('--rounds', 5));
const CHECKS = Number(option('--checks', 64000));
const IN_FLIGHT = 64;
const ROOMY = 1e12;
const LIMITS = { one_rate: [[ROOMY, 60000]], two_rates: [[ROOMY, 60000], [ROOMY, 3600000]] };

const keys = Array.from({ length: 4096 }, (_, i) => {
  const n = (i * 2654435761) % 4000000000;
  return `10.${(n >>> 16) & 255}.${(n >>> 8) & 255}.${n & 255}`;
});

// Checks per second of `check(key)` with IN_FLIGHT callers sharing `total` checks.
async function rate(check, total) {
  let next = 0;
  const caller = async () => {
    while (next < total) {
      const i = next++;
      await check(keys[i % keys.length]);
    }
  };
  const started = process.hrtime.bigint();
  await Promise.all(Array.from({ length: IN_FLIGHT }, caller));
  return total / (Number(process.hrtime.bigint() - started) / 1e9);
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

async function main() {
  const { VornNode } = require(process.env.VORN_NODE_ADDON ||
    path.join(build, 'node', 'vorn_native.node'));
  const { RedisEngine } = require(path.join(__dirname, '..', 'js', 'redis_engine.js'));
  const engines = [];
  const rows = {};
  for (const algorithm of ['token_bucket', 'sliding_window']) {
    for (const [shape, rates] of Object.entries(LIMITS)) {
      const engine = new RedisEngine({ redis: url, algorithm, rates, redisTimeoutMs: 2000,
        redisPrefix: 'bench:' }, VornNode);
      await engine.ready();
      engines.push(engine);
      for (const cost of shape === 'one_rate' ? [1, 2] : [1]) {
        rows[`${algorithm}_${shape}_cost${cost}`] =
          (ip) => engine.checkLimits(ip, '/api/items', Date.now(), cost);
      }
    }
  }
  for (const check of Object.values(rows)) await rate(check, keys.length);  // keys exist
  // The Redis server's own time per script call (INFO commandstats), per row.
  const admin = engines[0].client;
  const serverUs = Object.fromEntries(Object.keys(rows).map((name) => [name, []]));
  const samples = Object.fromEntries(Object.keys(rows).map((name) => [name, []]));
  for (let round = 0; round < ROUNDS; round++) {
    for (const [name, check] of Object.entries(rows)) {
      await admin.config('RESETSTAT');
      samples[name].push(await rate(check, CHECKS));
      const stats = await admin.info('commandstats');
      serverUs[name].push(Number(/cmdstat_evalsha:.*usec_per_call=([\d.]+)/.exec(stats)[1]));
    }
  }
  const rates = Object.fromEntries(Object.entries(samples).map(([n, v]) => [n, median(v)]));
  const ratios = {};
  for (const name of Object.keys(samples).filter((n) => n.includes('two_rates'))) {
    for (const one of ['one_rate_cost1', 'one_rate_cost2']) {
      const peer = name.replace('two_rates_cost1', one);
      ratios[`${name} / ${one}`] =
        median(samples[name].map((value, i) => samples[peer][i] / value));
    }
  }
  console.error(`node ${process.version}, ${CHECKS} checks x ${ROUNDS} rounds, ${IN_FLIGHT} in ` +
    'flight, checks per second (median)');
  const redisUs = Object.fromEntries(Object.entries(serverUs).map(([n, v]) => [n, median(v)]));
  for (const [name, value] of Object.entries(rates)) {
    console.error(`  ${name.padEnd(36)} ${value.toFixed(0).padStart(9)}   Redis ` +
      `${redisUs[name].toFixed(2)} us per call`);
  }
  console.error('time per check, two rates / one rate (median of rounds)');
  for (const [name, value] of Object.entries(ratios)) {
    console.error(`  ${name.padEnd(64)} ${value.toFixed(2)}`);
  }
  for (const engine of engines) await engine.close();
  if (jsonPath) {
    fs.writeFileSync(jsonPath, JSON.stringify({ node: process.version, rate: rates, ratio: ratios,
      redis_us: redisUs }, null, 1));
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
