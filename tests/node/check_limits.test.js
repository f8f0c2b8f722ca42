'use strict';
// checkLimits: checkRequest's result plus the figures clients are told.
const test = require('node:test');
const assert = require('node:assert');
const { loadAddon } = require('./addon.js');

const { VornNode } = loadAddon();
const FIGURES = ['limit', 'remaining', 'retryAfterMs', 'resetAfterMs', 'windowMs'];

test('checkRequest result comes first, unchanged, in every mode', () => {
  // Two engines read the clock apart, so a window that ends between their
  // checks (a slow sanitizer run makes that likelier) parts them once; the
  // case is then run again on fresh engines.
  const differences = (mode, algorithm) => {
    const plain = new VornNode({ mode, algorithm, capacity: 2, refillRate: 1 });
    const told = new VornNode({ mode, algorithm, capacity: 2, refillRate: 1 });
    const found = [];
    for (let i = 0; i < 3; i++) {
      const expected = plain.checkRequest('a', '/', Date.now());
      const result = told.checkLimits('a', '/', Date.now());
      assert.deepStrictEqual(Object.keys(result), [...Object.keys(expected), ...FIGURES]);
      for (const key of Object.keys(expected)) {
        if (result[key] !== expected[key]) found.push([i, key, result[key], expected[key]]);
      }
    }
    return found;
  };
  for (const mode of ['active', 'shadow', 'disabled']) {
    for (const algorithm of ['token_bucket', 'fixed_window', 'sliding_window', 'leaky_bucket']) {
      let found = differences(mode, algorithm);
      for (let attempt = 1; found.length > 0 && attempt < 3; attempt++) found = differences(mode, algorithm);
      assert.deepStrictEqual(found, [], `${mode} ${algorithm}`);
    }
  }
});

test('figures follow the allowance; disabled mode tells none', () => {
  const node = new VornNode({ algorithm: 'fixed_window', capacity: 2 });
  const [first, , refused] = [1, 2, 3].map(() => node.checkLimits('a', '/', Date.now()));
  assert.deepStrictEqual([first.remaining, first.retryAfterMs, refused.remaining], [1, 0, 0]);
  assert.ok(refused.retryAfterMs > 59000 && refused.retryAfterMs <= 60000);
  assert.deepStrictEqual([refused.limit, refused.windowMs], [2, 60000]);
  const off = new VornNode({ mode: 'disabled' }).checkLimits('a', '/', Date.now());
  assert.deepStrictEqual([off.remaining, off.retryAfterMs, off.resetAfterMs], [null, null, null]);
  const dry = new VornNode({ capacity: 1, refillRate: 0 });
  dry.checkLimits('a', '/', Date.now());
  const stuck = dry.checkLimits('a', '/', Date.now());
  assert.deepStrictEqual([stuck.allowed, stuck.retryAfterMs, stuck.windowMs], [false, null, null]);
});

test('checkLimits refuses a receiver that is not an instance', () => {
  assert.throws(() => VornNode.prototype.checkLimits.call({}, 'a', '/', Date.now()));
  assert.throws(() => new VornNode({}).checkLimits(5, '/', Date.now()));
});
