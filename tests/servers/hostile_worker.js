'use strict';
// The Node side of test_redis_hostile.py: one process through every hostile
// server, which must live through all of them. Each line read from stdin is a
// command; each answer is one JSON line.
//   check <port>  two new engines (onError allow, 100 ms), one on a URL and one
//                 on an ioredis client with its defaults, check three times each
//                 as soon as they are made: {elapsedMs: [...], byPolicy: [...],
//                 warnings: [failures logged by each]}
//   redis         the last engines wait until they are back on Redis, then check
//                 once: {byPolicy: [...], degraded: [...]}
const readline = require('node:readline');
const Redis = require('ioredis');
const { loadVorn } = require('./redis_support');

const { createEngine } = loadVorn();
const TIMEOUT_MS = 100;
let engines = [];
let clients = [];

async function check(port) {
  for (const engine of engines) await engine.close();
  for (const client of clients) client.disconnect();
  clients = [new Redis(Number(port), '127.0.0.1')];
  clients[0].on('error', () => {});
  engines = [`redis://127.0.0.1:${port}/0`, clients[0]].map((redis) => {
    const warnings = [];
    const engine = createEngine({ capacity: 100, refillRate: 0, redis, onError: 'allow',
      redisTimeoutMs: TIMEOUT_MS, redisProbeIntervalMs: 50,
      logger: { warn: (line) => warnings.push(line) } });
    engine.warnings = warnings;
    return engine;
  });
  const elapsedMs = [];
  const byPolicy = [];
  for (const engine of engines) {
    for (let n = 0; n < 3; n++) {
      const started = process.hrtime.bigint();
      const result = await engine.checkRequest('10.9.0.1', '/', 0);
      elapsedMs.push(Number(process.hrtime.bigint() - started) / 1e6);
      byPolicy.push(result.debugInfo === 'redis unavailable');
    }
  }
  return { elapsedMs, byPolicy,
    warnings: engines.map((engine) => engine.warnings.filter((w) => /failed/.test(w)).length) };
}

async function backOnRedis() {
  const until = Date.now() + 10000;
  while (engines.some((engine) => engine.degraded) && Date.now() < until) {
    await new Promise((resolve) => { setTimeout(resolve, 20); });
  }
  const results = [];
  for (const engine of engines) results.push(await engine.checkRequest('10.9.0.1', '/', 0));
  return { byPolicy: results.map((result) => result.debugInfo === 'redis unavailable'),
    degraded: engines.map((engine) => engine.degraded) };
}

const lines = readline.createInterface({ input: process.stdin });
lines.on('line', async (line) => {
  const [command, port] = line.split(' ');
  const answer = command === 'check' ? await check(port) : await backOnRedis();
  process.stdout.write(`${JSON.stringify(answer)}\n`);
});
lines.on('close', async () => {
  for (const engine of engines) await engine.close();
  for (const client of clients) client.disconnect();
});
