'use strict';
// The installed package's answers on this machine's arch, for scripts/arm64_check.sh
// and scripts/fresh_machine_check.sh to compare across arches.
//   node smoke.js answers        one JSON line per case of smoke_cases.json
//   node smoke.js share ZONE N DIR  N checks of one client in ZONE (limit 1000/day)
//                                once DIR/go exists; prints how many were admitted
const fs = require('node:fs');
const path = require('node:path');
const vorn = require('vorn');

const table = require('./smoke_cases.json');
const START_MS = 1_700_000_000_000;

function answers() {
  const zone = `vorn-smoke-node-${process.pid}`;
  for (const algorithm of table.algorithms) {
    for (const mode of table.modes) {
      for (const store of table.stores) {
        table.cases.forEach(({ limit, costs }, index) => {
          const config = { algorithm, mode, limit, ...(store === 'zone' ? { zone } : {}) };
          const engine = vorn.createEngine(config);
          const steps = costs.map((cost, step) => {
            const r = engine.checkLimits(`10.0.${index}.1`, '/', START_MS + step, cost);
            return [r.allowed, r.wouldBlock, r.reason, r.remaining, r.limit];
          });
          console.log(JSON.stringify({ algorithm, mode, store, limit, steps }));
          if (store === 'zone') vorn.removeZone(zone);
        });
      }
    }
  }
}

function share(zone, checks, dir) {
  const engine = vorn.createEngine({ algorithm: 'fixed_window', limit: '1000/day', zone });
  fs.writeFileSync(path.join(dir, `ready-node-${process.pid}`), '');
  const deadline = Date.now() + 120_000;
  while (!fs.existsSync(path.join(dir, 'go'))) {
    if (Date.now() > deadline) throw new Error('no go within two minutes');
    Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 1);
  }
  let admitted = 0;
  for (let i = 0; i < checks; ++i) {
    admitted += engine.checkLimits('10.9.9.9', '/', Date.now(), 1).allowed ? 1 : 0;
  }
  console.log(admitted);
}

const [command, ...args] = process.argv.slice(2);
if (command === 'answers') answers();
else if (command === 'share') share(args[0], Number(args[1]), args[2]);
else throw new Error(`usage: node smoke.js answers | share ZONE N DIR`);
