'use strict';
// Leak check for Node (run with --expose-gc): instances of every algorithm and
// mode, with and without an API key, are created, checked, sent down every
// documented error path, and dropped, round after round. Once the collector has
// run, resident memory must come back to within 10% of where it stood after the
// first rounds. Usage: node --expose-gc churn_node.js [rounds] [instances]
const assert = require('node:assert');
const { loadAddon } = require('../node/addon.js');

const { VornNode } = loadAddon();
const ALGORITHMS = ['token_bucket', 'sliding_window', 'fixed_window', 'leaky_bucket'];
const MODES = ['active', 'shadow', 'disabled'];

function throwsCode(fn, code) {
  try {
    fn();
  } catch (error) {
    if (code !== undefined) assert.strictEqual(error.code, code, error.message);
    return;
  }
  assert.fail(`expected a throw with code ${code}`);
}

function errorPaths(node) {
  const circular = {};
  circular.self = circular;
  throwsCode(() => new VornNode({ algorithm: null }), 'StringExpected');
  throwsCode(() => new VornNode({ capacity: '100' }), 'NumberExpected');
  throwsCode(() => new VornNode({ apiKey: [1, 2] }), 'StringExpected');
  throwsCode(() => new VornNode({ debug: () => 0 }), 'StringExpected');
  throwsCode(() => new VornNode({ backendUrl: circular }));  // JSON.stringify's own TypeError
  throwsCode(() => new VornNode({ get mode() { throw new Error('getter'); } }));
  throwsCode(() => new VornNode(null));
  throwsCode(() => node.checkRequest('ip', '/'), 'NumberExpected');
  throwsCode(() => node.checkRequest(42, '/', 0), 'StringExpected');
  throwsCode(() => node.checkRequest('ip', { route: 1 }, 0), 'StringExpected');
  throwsCode(() => VornNode.prototype.checkRequest.call({}, 'ip', '/', 0), 'InvalidArg');
}

function round(instances) {
  for (let i = 0; i < instances; i++) {
    const node = new VornNode({
      algorithm: ALGORITHMS[i % 4], mode: MODES[i % 3], capacity: 20, refillRate: 1,
      apiKey: i % 2 ? 'key' : undefined, debug: 'x'.repeat(i % 30), backendUrl: 'http://h:1',
      requestsPerMinute: 5, blockDurationMs: 1.5,
    });
    // Per-client state and queued events make a leaked engine visible.
    for (let k = 0; k < 30; k++) node.checkRequest(`10.${i % 256}.0.${k}`, `/r${k % 3}`, Date.now());
    if (i % 10 === 0) errorPaths(node);
  }
}

async function settle() {
  for (let i = 0; i < 4; i++) {
    globalThis.gc();
    await new Promise((resolve) => setImmediate(resolve));
  }
}

async function main() {
  assert.strictEqual(typeof globalThis.gc, 'function', 'run with --expose-gc');
  const rounds = Number(process.argv[2] || 20);
  const instances = Number(process.argv[3] || 1000);
  // Warm up until the heap and the allocator have reached their working size.
  for (let r = 0; r < 3; r++) {
    round(instances);
    await settle();
  }
  const baseline = process.memoryUsage.rss();
  for (let r = 0; r < rounds; r++) {
    round(instances);
    await settle();
  }
  await settle();
  const final = process.memoryUsage.rss();
  const mib = (bytes) => (bytes / 1048576).toFixed(1);
  console.log(`node churn: ${rounds} rounds x ${instances} instances, rss ${mib(baseline)} MiB ` +
    `-> ${mib(final)} MiB after collection`);
  assert.ok(final <= baseline * 1.1, `resident memory grew more than 10%`);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
