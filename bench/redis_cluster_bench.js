'use strict';
// The Node rows of bench/redis_cluster_bench.py: checkRequest of the Node Redis
// engine (token bucket, its own ioredis client built from the URL) on one Redis
// and on a cluster, 64 checks in flight, rounds alternating; prints JSON
// { node, rate: {node_single, node_cluster}, ratio: {node: cluster / one Redis} }.
//
// Usage: node bench/redis_cluster_bench.js SINGLE_URL CLUSTER_URL [builddir] [--rounds N]
const path = require('node:path');

const args = process.argv.slice(2);
const at = args.indexOf('--rounds');
const ROUNDS = at < 0 ? 5 : Number(args[at + 1]);
const CHECKS = Number(process.env.VORN_REDIS_CHECKS || 64000);
const [single, cluster, buildArg] = args.filter((arg, i) => !arg.startsWith('--') &&
  (i === 0 || !args[i - 1].startsWith('--')));
const build = path.resolve(buildArg || path.join(__dirname, '..', 'build'));
const IN_FLIGHT = 64;
const ROOMY = 1e12;
const keys = Array.from({ length: 4096 }, (_, i) => {
  const n = (i * 2654435761) % 4000000000;
  return `10.${(n >>> 16) & 255}.${(n >>> 8) & 255}.${n & 255}`;
});

async function rate(engine, total) {
  let next = 0;
  const caller = async () => {
    while (next < total) {
      const i = next++;
      await engine.checkRequest(keys[i % keys.length], '/api/items', 0);
    }
  };
  const started = process.hrtime.bigint();
  await Promise.all(Array.from({ length: IN_FLIGHT }, caller));
  return total / (Number(process.hrtime.bigint() - started) / 1e9);
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

(async () => {
  const { VornNode } = require(process.env.VORN_NODE_ADDON ||
    path.join(build, 'node', 'vorn_native.node'));
  const { RedisEngine } = require(path.join(__dirname, '..', 'js', 'redis_engine.js'));
  const engines = {};
  for (const [name, url] of [['node_single', single], ['node_cluster', cluster]]) {
    engines[name] = new RedisEngine({ capacity: ROOMY, refillRate: ROOMY, redis: url,
      redisTimeoutMs: 2000, redisPrefix: 'bench:' }, VornNode);
    await engines[name].ready();
    await rate(engines[name], keys.length);
  }
  const samples = { node_single: [], node_cluster: [] };
  for (let round = 0; round < ROUNDS; round++) {
    for (const name of Object.keys(samples)) samples[name].push(await rate(engines[name], CHECKS));
  }
  const ratios = samples.node_cluster.map((value, i) => value / samples.node_single[i]);
  for (const engine of Object.values(engines)) await engine.close();
  process.stdout.write(JSON.stringify({ node: process.version,
    rate: { node_single: median(samples.node_single), node_cluster: median(samples.node_cluster) },
    ratio: { node: median(ratios) } }));
})();
