'use strict';
// The Node side of test_redis_hostile.py: one process through every hostile
// server, which must live through all of them. Each line read from stdin is a
// command; each answer is one JSON line.
//   check <url>  a new engine (onError allow, 100 ms) checks three times at once
//                after it is made: {elapsedMs: [...], byPolicy: [...], warnings}
//   redis        the last engine waits until it is back on Redis, then checks
//                once: {byPolicy, degraded}
const readline = require('node:readline');
const { loadVorn } = require('./redis_support');

const { createEngine } = loadVorn();
const TIMEOUT_MS = 100;
let engine = null;
let warnings = [];

async function check(url) {
  if (engine !== null) await engine.close();
  warnings = [];
  engine = createEngine({ capacity: 100, refillRate: 0, redis: url, onError: 'allow',
    redisTimeoutMs: TIMEOUT_MS, redisProbeIntervalMs: 50,
    logger: { warn: (line) => warnings.push(line) } });
  const elapsedMs = [];
  const byPolicy = [];
  for (let n = 0; n < 3; n++) {
    const started = process.hrtime.bigint();
    const result = await engine.checkRequest('10.9.0.1', '/', 0);
    elapsedMs.push(Number(process.hrtime.bigint() - started) / 1e6);
    byPolicy.push(result.debugInfo === 'redis unavailable');
  }
  return { elapsedMs, byPolicy, warnings: warnings.filter((w) => /failed/.test(w)).length };
}

async function backOnRedis() {
  const until = Date.now() + 10000;
  while (engine.degraded && Date.now() < until) {
    await new Promise((resolve) => { setTimeout(resolve, 20); });
  }
  const result = await engine.checkRequest('10.9.0.1', '/', 0);
  return { byPolicy: result.debugInfo === 'redis unavailable', degraded: engine.degraded };
}

const lines = readline.createInterface({ input: process.stdin });
lines.on('line', async (line) => {
  const [command, url] = line.split(' ');
  const answer = command === 'check' ? await check(url) : await backOnRedis();
  process.stdout.write(`${JSON.stringify(answer)}\n`);
});
lines.on('close', async () => {
  if (engine !== null) await engine.close();
});
