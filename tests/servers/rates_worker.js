'use strict';
// The Node twin of rates_worker.py: the same rates and the same orders, one
// JSON line on stdin each, one JSON line answered on stdout.
// Usage: node rates_worker.js <redis url>
const readline = require('node:readline');
const { loadVorn } = require('./redis_support');

const ALGORITHM = 'sliding_window';
const RATES = [[300, 60000], [1000, 3600000]];

async function main(url) {
  const { VornNode, RedisEngine } = loadVorn();
  const engine = new RedisEngine({ algorithm: ALGORITHM, rates: RATES, redis: url,
    redisTimeoutMs: 2000, onError: 'deny' }, VornNode);
  await engine.ready();
  console.log(JSON.stringify({ ready: true }));
  for await (const line of readline.createInterface({ input: process.stdin })) {
    const order = JSON.parse(line);
    let answer = {};
    if (order.op === 'burst') {
      let admitted = 0;
      for (let n = 0; n < order.requests; n++) {
        const cost = 1 + (n % 2);
        if ((await engine.checkLimits(order.key, '/', Date.now(), cost)).allowed) admitted += cost;
      }
      answer = { admitted };
    } else if (order.op === 'check') {
      const result = await engine.checkLimits(order.key, '/', Date.now(), order.cost);
      answer = { allowed: result.allowed, remaining: result.remaining };
    } else {
      await engine.reset(order.key);
    }
    if (engine.degraded) throw new Error('Redis failed during the run');
    console.log(JSON.stringify(answer));
  }
  await engine.close();
}

main(process.argv[2]);
