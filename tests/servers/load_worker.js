'use strict';
// The Node twin of load_worker.py: the same runs read from stdin, the same
// answers. Usage: node load_worker.js <redis url> <timeout ms>
const readline = require('node:readline');
const { loadVorn } = require('./redis_support');

const { createEngine } = loadVorn();
const [url, timeoutMs] = process.argv.slice(2);
const warnings = [];
let engine = null;

async function run({ keys, rounds, pause_ms: pauseMs }) {
  const admitted = Object.fromEntries(keys.map((key) => [key, 0]));
  let slowest = 0;
  for (let round = 0; round < rounds; round++) {
    const answers = await Promise.all(keys.map(async (key) => {
      const started = process.hrtime.bigint();
      const { allowed } = await engine.checkRequest(key, '/', 0);
      return [key, allowed, Number(process.hrtime.bigint() - started) / 1e6];
    }));
    for (const [key, allowed, ms] of answers) {
      if (allowed) admitted[key]++;
      slowest = Math.max(slowest, ms);
    }
    if (pauseMs) await new Promise((resolve) => { setTimeout(resolve, pauseMs); });
  }
  return { admitted, max_ms: slowest };
}

const lines = readline.createInterface({ input: process.stdin });
const queue = [];
let busy = false;
async function next() {
  if (busy || queue.length === 0) return;
  busy = true;
  const order = JSON.parse(queue.shift());
  if (engine === null) {
    engine = createEngine({ capacity: 300, refillRate: 0, redis: url,
      redisTimeoutMs: Number(timeoutMs), logger: { warn: (line) => warnings.push(line) } });
  }
  const answer = await run(order);
  process.stdout.write(`${JSON.stringify({ ...answer, degraded: engine.degraded,
    warnings: warnings.splice(0) })}\n`);
  busy = false;
  next();
}
lines.on('line', (line) => { queue.push(line); next(); });
lines.on('close', async () => {
  while (busy || queue.length) await new Promise((resolve) => { setTimeout(resolve, 10); });
  if (engine !== null) await engine.close();
});
