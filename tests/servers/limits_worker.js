'use strict';
// The Node twin of limits_worker.py: the same limit, keys and costs, the units
// admitted printed as JSON. Usage:
// node limits_worker.js (zone <name> <dir> | redis <url>) [look]
const path = require('node:path');
const { loadVorn } = require('./redis_support');

const { parseLimit } = require(path.join(__dirname, '..', '..', 'js', 'limits.js'));

const LIMIT = '300/minute; 1000/hour';
const ALGORITHMS = ['sliding_window', 'fixed_window'];
const KEYS = 3;
const ROUNDS = 150;

// The engines createEngine({ algorithm, limit, ... }) makes, from the built addon.
function makeEngine(vorn, algorithm, args) {
  const rates = parseLimit(LIMIT);
  if (args[0] === 'zone') {
    const { VornZoneNode } = require(process.env.VORN_NODE_ADDON);
    return new VornZoneNode({ algorithm, zone: args[1], zoneDir: args[2], onError: 'deny' }, rates,
      VornZoneNode.withRates);
  }
  return new vorn.RedisEngine({ algorithm, rates, redis: args[1], redisTimeoutMs: 2000,
    onError: 'deny' }, vorn.VornNode);
}

async function main(args) {
  const vorn = loadVorn();
  const looking = args[args.length - 1] === 'look';
  const report = {};
  for (const algorithm of ALGORITHMS) {
    const engine = makeEngine(vorn, algorithm, looking ? args.slice(0, -1) : args);
    if (engine.ready) await engine.ready();
    if (looking) {
      report[algorithm] = [];
      for (let key = 0; key < KEYS; key++) {
        report[algorithm].push((await engine.checkLimits(`10.2.0.${key}`, '/', Date.now(), 0)).allowed);
      }
    } else {
      const spent = new Array(KEYS).fill(0);
      const costs = Array.from({ length: ROUNDS }, (_, i) => 1 + (i % 2)).concat([1, 1, 1, 1, 1]);
      for (const cost of costs) {
        for (let key = 0; key < KEYS; key++) {
          if ((await engine.checkLimits(`10.2.0.${key}`, '/', Date.now(), cost)).allowed) {
            spent[key] += cost;
          }
        }
      }
      report[algorithm] = spent;
      if (engine.degraded) throw new Error('the store failed during the run');
    }
    if (engine.close) await engine.close();
  }
  console.log(JSON.stringify(report));
}

main(process.argv.slice(2)).catch((error) => {
  console.error(error);
  process.exit(1);
});
