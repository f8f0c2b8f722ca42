'use strict';
// Checks per second of the Node Redis engine against rate-limiter-flexible's
// RateLimiterRedis on the same redis-server, with 64 checks in flight.
//
// Usage: node bench/redis_node_bench.js REDIS_URL [builddir] [--json FILE]
//            [--rounds N] [--checks N]
//
// Rows (4,096 client keys in rotation, every check admitted): RedisEngine
// checkRequest on the token bucket and on the fixed window (its own ioredis
// client, built from the URL), and RateLimiterRedis consume on an ioredis client
// with default options. Rounds alternate over the rows; each figure is the median
// checks per second and each ratio the median of the per-round ratios of time per
// check (ours / the peer's).
const path = require('node:path');
const fs = require('node:fs');

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
const CHECKS = Number(option('--checks', process.env.VORN_REDIS_CHECKS || 64000));
const IN_FLIGHT = 64;
const ROOMY = 1e12;

const keys = Array.from({ length: 4096 }, (_, i) => {
  const n = (i * 2654435761) % 4000000000;
  return `10.${(n >>> 16) & 255}.${(n >>> 8) & 255}.${n & 255}`;
});

function peer(name) {
  try {
    return require(path.join(__dirname, 'node_modules', name));
  } catch {
    return null;
  }
}

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

const RATIOS = { vorn_token_bucket: 'rlf_redis', vorn_fixed_window: 'rlf_redis' };

async function main() {
  const { VornNode } = require(process.env.VORN_NODE_ADDON ||
    path.join(build, 'node', 'vorn_native.node'));
  const { RedisEngine } = require(path.join(__dirname, '..', 'js', 'redis_engine.js'));
  const closers = [];
  const rows = {};
  for (const [name, algorithm] of [['vorn_token_bucket', 'token_bucket'],
    ['vorn_fixed_window', 'fixed_window']]) {
    const engine = new RedisEngine({ redis: url, algorithm, capacity: ROOMY, refillRate: ROOMY,
      redisTimeoutMs: 2000, redisPrefix: 'bench:' }, VornNode);
    await engine.ready();
    closers.push(() => engine.close());
    rows[name] = (ip) => engine.checkRequest(ip, '/api/items', Date.now());
  }
  const flexible = peer('rate-limiter-flexible');
  const Ioredis = peer('ioredis');
  if (flexible && Ioredis) {
    const client = new Ioredis(url);
    closers.push(() => client.disconnect());
    const limiter = new flexible.RateLimiterRedis({ storeClient: client, points: ROOMY,
      duration: 60, keyPrefix: 'bench-rlf' });
    rows.rlf_redis = (ip) => limiter.consume(ip);
  } else {
    console.error('rate-limiter-flexible or ioredis missing in bench/node_modules: row left out');
  }

  for (const check of Object.values(rows)) await rate(check, keys.length);  // keys exist
  const samples = Object.fromEntries(Object.keys(rows).map((name) => [name, []]));
  for (let round = 0; round < ROUNDS; round++) {
    for (const [name, check] of Object.entries(rows)) samples[name].push(await rate(check, CHECKS));
  }
  for (const close of closers) await close();

  const median = (values) => {
    const sorted = [...values].sort((a, b) => a - b);
    const middle = sorted.length >> 1;
    return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
  };
  const rates = {};
  const ratio = {};
  for (const name in samples) rates[name] = median(samples[name]);
  for (const [name, base] of Object.entries(RATIOS)) {
    if (samples[base]) ratio[name] = median(samples[name].map((r, i) => samples[base][i] / r));
  }
  console.error(`node ${process.version}, ${CHECKS} checks x ${ROUNDS} rounds, ${IN_FLIGHT} in ` +
    'flight, checks per second (median)');
  for (const name in rates) {
    const suffix = name in ratio ? `   time ours / ${RATIOS[name]} ${ratio[name].toFixed(2)}` : '';
    console.error(`  ${name.padEnd(20)} ${rates[name].toFixed(0).padStart(9)}${suffix}`);
  }
  if (jsonPath) {
    const report = { node: process.version, rate: rates, ratio };
    fs.writeFileSync(jsonPath, JSON.stringify(report, null, 1));
  }
}

main();
