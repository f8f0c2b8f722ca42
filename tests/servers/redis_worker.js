'use strict';
// The Node twin of redis_worker.py: the same limits, keys and rounds, the
// admissions printed as JSON. Usage: node redis_worker.js <redis url>
const { loadVorn } = require('./redis_support');

const LIMITS = [['token_bucket', 5.5, 0], ['sliding_window', 7, 0]];
const KEYS = 4;
const ROUNDS = 10;

async function main(url) {
  const { createEngine } = loadVorn();
  const admitted = {};
  for (const [algorithm, capacity, refillRate] of LIMITS) {
    const engine = createEngine({ algorithm, capacity, refillRate, redis: url,
      redisTimeoutMs: 2000, onError: 'deny' });
    await engine.ready();
    const counts = new Array(KEYS).fill(0);
    for (let round = 0; round < ROUNDS; round++) {
      for (let key = 0; key < KEYS; key++) {
        if ((await engine.checkRequest(`10.1.0.${key}`, '/', Date.now())).allowed) counts[key]++;
      }
    }
    admitted[algorithm] = counts;
    if (engine.degraded) throw new Error('Redis failed during the run');
    await engine.close();
  }
  console.log(JSON.stringify(admitted));
}

main(process.argv[2]);
