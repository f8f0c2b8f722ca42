'use strict';
// The one library file as a host sees it: its exported symbols, loading in
// Python as well as in Node, one class per worker thread, collection of
// dropped instances, and fatal engine failures reported without ending the
// process.
const test = require('node:test');
const assert = require('node:assert');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const { addonPath, loadAddon, throwsCoded } = require('./addon.js');

const { VornNode } = loadAddon();

function hasTool(name) {
  return spawnSync(name, ['--version'], { stdio: 'ignore' }).status === 0;
}

function tempDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-node-'));
}

test('the library exports exactly the two host entries and needs no strong host symbol',
  { skip: !hasTool('nm') && 'nm not available' }, () => {
    const defined = execFileSync('nm', ['-D', '--defined-only', addonPath], { encoding: 'utf8' })
      .trim().split('\n').map((line) => line.trim().split(/\s+/).pop()).sort();
    assert.deepStrictEqual(defined, ['PyInit_vorn_native', 'napi_register_module_v1']);

    const undefinedSymbols = execFileSync('nm', ['-D', '--undefined-only', addonPath],
      { encoding: 'utf8' }).trim().split('\n').map((line) => line.trim().split(/\s+/));
    const strongHost = undefinedSymbols
      .filter(([kind, name]) => kind === 'U' && /^(_?Py|napi_)/.test(name));
    assert.deepStrictEqual(strongHost, []);
    assert.ok(undefinedSymbols.some(([kind, name]) => kind !== 'U' && name.startsWith('napi_')),
      'the Node-API functions are weak references');
  });

test('the same file imports as the Python module',
  { skip: !hasTool('python3') && 'python3 not available' }, () => {
    const dir = tempDir();
    try {
      fs.copyFileSync(addonPath, path.join(dir, 'vorn_native.abi3.so'));
      const script = [
        'import vorn_native',
        "engine = vorn_native.RustEngine('token_bucket', 'active', 2.0, 0.0, None, None, 'http://localhost:4000')",
        "print(vorn_native.__all__, [engine.check('1.2.3.4', '/')['allowed'] for _ in range(3)])",
      ].join('\n');
      const out = execFileSync('python3', ['-c', script], { cwd: dir, encoding: 'utf8' });
      assert.strictEqual(out.trim(), "['RustEngine'] [True, True, False]");
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

const workerSource = `
const { parentPort, workerData } = require('node:worker_threads');
const { VornNode } = require(workerData.addonPath);
const node = new VornNode({ capacity: workerData.capacity, refillRate: 0 });
let admitted = 0;
for (let i = 0; i < workerData.calls; i++) {
  if (node.checkRequest('shared-ip', '/', Date.now()).allowed) admitted++;
}
// Instances left alive here are released when the worker's environment ends.
for (let i = 0; i < 50; i++) new VornNode({}).checkRequest('x', '/', 1);
parentPort.postMessage({ admitted, keys: Object.keys(node.checkRequest('other', '/', 1)) });
`;

function runWorker(capacity, calls) {
  return new Promise((resolve, reject) => {
    const worker = new Worker(workerSource, { eval: true, workerData: { addonPath, capacity, calls } });
    let message;
    worker.on('message', (m) => { message = m; });
    worker.on('error', reject);
    worker.on('exit', (code) => (code === 0 ? resolve(message) : reject(new Error(`exit ${code}`))));
  });
}

test('workers and the main thread each register the class and keep separate state', async () => {
  const capacity = 2000;
  const running = [1, 2, 3, 4].map(() => runWorker(capacity, capacity + 500));
  const main = new VornNode({ capacity, refillRate: 0 });
  let admitted = 0;
  for (let i = 0; i < capacity + 500; i++) {
    if (main.checkRequest('shared-ip', '/', Date.now()).allowed) admitted++;
  }
  assert.strictEqual(admitted, capacity);
  for (const result of await Promise.all(running)) {
    assert.strictEqual(result.admitted, capacity);
    assert.deepStrictEqual(result.keys, ['allowed', 'wouldBlock', 'reason', 'algorithm', 'debugInfo']);
  }
  // Environments come and go while the main one keeps working.
  for (let round = 0; round < 3; round++) await runWorker(5, 5);
  assert.strictEqual(main.checkRequest('fresh', '/', Date.now()).allowed, true);
});

test('dropped instances are collected and their engines released',
  { skip: typeof globalThis.gc !== 'function' && 'run with --expose-gc' }, async () => {
    const settle = async () => {
      for (let i = 0; i < 3; i++) {
        globalThis.gc();
        await new Promise((resolve) => setImmediate(resolve));
      }
    };
    let collected = 0;
    const registry = new FinalizationRegistry(() => { collected++; });
    const churn = (count) => {
      for (let i = 0; i < count; i++) {
        const node = new VornNode({ apiKey: 'k' });
        // Per-client state and queued events make a leaked engine visible.
        for (let k = 0; k < 40; k++) node.checkRequest(`10.0.${i % 256}.${k}`, '/', Date.now());
        registry.register(node, i);
      }
    };
    churn(2000);
    await settle();
    const baseline = process.memoryUsage.rss();
    for (let round = 0; round < 5; round++) {
      churn(2000);
      await settle();
    }
    await settle();
    const growth = process.memoryUsage.rss() - baseline;
    assert.ok(collected > 10000 * 0.9, `collected ${collected} of 12000`);
    // 10000 leaked engines with 40 clients and 40 events each would hold far more.
    assert.ok(growth < 48 * 1024 * 1024, `rss grew by ${(growth / 1048576).toFixed(1)} MiB`);
  });

test('checkRequest on an object another addon wrapped fails the unwrap', (t) => {
  const floorPath = path.resolve(process.env.VORN_NAPIFLOOR ||
    path.join(path.dirname(path.dirname(addonPath)), 'bench', 'napifloor.node'));
  if (!fs.existsSync(floorPath)) {
    t.skip('floor addon not built');
    return;
  }
  const foreign = require(floorPath).wrapForeign({});
  throwsCoded(assert, () => VornNode.prototype.checkRequest.call(foreign, 'a', '/', 1),
    'InvalidArg', 'Failed to unwrap exclusive reference of `VornNode` type from napi value');
});

// Turns CLOCK_REALTIME to 5 s before the epoch while a trigger file exists.
const clockShimSource = `
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
int clock_gettime(clockid_t id, struct timespec* ts) {
  static int (*real)(clockid_t, struct timespec*);
  static const char* trigger;
  if (!real) {
    real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    trigger = getenv("VORN_TEST_CLOCK_TRIGGER");
  }
  int rc = real(id, ts);
  if (rc == 0 && id == CLOCK_REALTIME && trigger && access(trigger, F_OK) == 0) {
    ts->tv_sec = -5;
    ts->tv_nsec = 0;
  }
  return rc;
}
`;

const fatalScript = `
const fs = require('node:fs');
const { VornNode } = require(process.env.VORN_NODE_ADDON);
const active = new VornNode({});
const disabled = new VornNode({ mode: 'disabled' });
const outcome = (fn) => { try { return fn(); } catch (e) { return { code: e.code, message: e.message, plain: Object.getPrototypeOf(e) === Error.prototype }; } };
const before = outcome(() => active.checkRequest('a', '/', 1).allowed);
fs.writeFileSync(process.env.VORN_TEST_CLOCK_TRIGGER, '');
const during = outcome(() => active.checkRequest('a', '/', 1));
fs.rmSync(process.env.VORN_TEST_CLOCK_TRIGGER);
const after = outcome(() => active.checkRequest('a', '/', 1));
const disabledAfter = outcome(() => disabled.checkRequest('a', '/', 1).debugInfo);
const freshAfter = outcome(() => new VornNode({}).checkRequest('a', '/', 1).allowed);
process.stdout.write(JSON.stringify({ before, during, after, disabledAfter, freshAfter }));
`;

test('a fatal engine failure throws an Error and the process lives on',
  { skip: !hasTool('cc') && 'no C compiler for the clock shim' }, () => {
    const dir = tempDir();
    try {
      fs.writeFileSync(path.join(dir, 'shim.c'), clockShimSource);
      execFileSync('cc', ['-shared', '-fPIC', '-o', path.join(dir, 'shim.so'),
        path.join(dir, 'shim.c'), '-ldl']);
      const run = spawnSync(process.execPath, ['-e', fatalScript], {
        encoding: 'utf8',
        env: {
          ...process.env,
          // Kept after whatever the suite runs under (a sanitizer runtime, say).
          LD_PRELOAD: [process.env.LD_PRELOAD, path.join(dir, 'shim.so')].filter(Boolean).join(' '),
          VORN_NODE_ADDON: addonPath,
          VORN_TEST_CLOCK_TRIGGER: path.join(dir, 'trigger'),
        },
      });
      assert.strictEqual(run.status, 0, run.stderr);
      const result = JSON.parse(run.stdout);
      const unwrap = 'called `Result::unwrap()` on an `Err` value: ';
      assert.strictEqual(result.before, true);
      assert.deepStrictEqual(result.during,
        { code: 'GenericFailure', message: `${unwrap}SystemTimeError(5s)`, plain: true });
      // The failure inside the limiter poisoned it for this engine only.
      assert.deepStrictEqual(result.after,
        { code: 'GenericFailure', message: `${unwrap}PoisonError { .. }`, plain: true });
      assert.strictEqual(result.disabledAfter, 'disabled');
      assert.strictEqual(result.freshAfter, true);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
