'use strict';
// Worker stress for Node: in each round 8 worker_threads create and use
// instances of every algorithm while the main thread does the same; half of
// the workers are terminated mid-run, in the middle of their checks. Every
// finished worker and the main thread must report exactly the allowance of
// each client; nothing may crash.
// Usage: node stress_node.js [rounds] [checks_per_client]   (VORN_NODE_ADDON names the build)
const assert = require('node:assert');
const { Worker } = require('node:worker_threads');
const { addonPath, loadAddon } = require('../node/addon.js');

const WORKERS = 8;
// Refill rate 0 and windows far longer than the run: a fixed lifetime allowance.
const CASES = [
  { algorithm: 'token_bucket', mode: 'active', capacity: 12.5, allowance: 12 },
  { algorithm: 'sliding_window', mode: 'shadow', capacity: 9, allowance: 9 },
  { algorithm: 'fixed_window', mode: 'active', capacity: 7, allowance: 7 },
  { algorithm: 'leaky_bucket', mode: 'active', capacity: 4.5, allowance: 5 },
];

// Runs in every worker and in the main thread: one instance per case, the
// given number of checks for each of 10 clients; returns admissions per case
// and client. With `forever`, keeps building new instances until terminated.
const exercise = `
function exercise(VornNode, cases, checks, forever) {
  do {
    const totals = cases.map((c) => {
      const node = new VornNode({ algorithm: c.algorithm, mode: c.mode, capacity: c.capacity,
        refillRate: 0, apiKey: 'k' });
      const admitted = new Array(10).fill(0);
      for (let i = 0; i < checks * 10; i++) {
        if (!node.checkRequest('10.0.0.' + (i % 10), '/', Date.now()).wouldBlock) admitted[i % 10]++;
      }
      return admitted;
    });
    if (!forever) return totals;
  } while (true);
}`;

const workerSource = `
const { parentPort, workerData } = require('node:worker_threads');
const { VornNode } = require(workerData.addonPath);
${exercise}
const totals = exercise(VornNode, workerData.cases, workerData.checks, false);
if (workerData.forever) {
  parentPort.postMessage('busy');  // from here on it only stops when terminated
  exercise(VornNode, workerData.cases, workerData.checks, true);
}
parentPort.postMessage(totals);
`;

// eslint-disable-next-line no-new-func
const runHere = new Function(`${exercise}; return exercise;`)();

function expectTotals(totals, who) {
  totals.forEach((admitted, i) => {
    for (const count of admitted) {
      assert.strictEqual(count, CASES[i].allowance, `${who}: ${CASES[i].algorithm}`);
    }
  });
}

function startWorker(checks, forever) {
  const worker = new Worker(workerSource,
    { eval: true, workerData: { addonPath, cases: CASES, checks, forever } });
  const done = new Promise((resolve, reject) => {
    worker.on('message', resolve);
    worker.on('error', reject);
    worker.on('exit', (code) => resolve(code));
  });
  return { worker, done };
}

async function main() {
  const rounds = Number(process.argv[2] || 4);
  const checks = Number(process.argv[3] || 100);
  const { VornNode } = loadAddon();
  let finished = 0;
  let terminated = 0;
  for (let round = 0; round < rounds; round++) {
    const workers = [];
    for (let w = 0; w < WORKERS; w++) workers.push(startWorker(checks, w % 2 === 1));
    // The main thread works alongside them, yielding now and then.
    for (let i = 0; i < 3; i++) {
      expectTotals(runHere(VornNode, CASES, checks, false), `main, round ${round}`);
      await new Promise((resolve) => setTimeout(resolve, 5 + 10 * i));
    }
    for (const [w, { worker, done }] of workers.entries()) {
      if (w % 2 === 1) {
        assert.strictEqual(await done, 'busy');
        await worker.terminate();  // stopped in the middle of its checks
        terminated++;
      } else {
        const totals = await done;
        expectTotals(totals, `worker ${w}, round ${round}`);
        finished++;
      }
    }
  }
  expectTotals(runHere(VornNode, CASES, checks, false), 'main, after the rounds');
  console.log(`node stress: ${rounds} rounds, ${finished} workers finished with exact totals, ` +
    `${terminated} terminated mid-run`);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
