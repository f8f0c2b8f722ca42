'use strict';
// checkLimits: checkRequest's result plus the figures clients are told; the
// rates an engine is given, the cost a check weighs, refund, reset and policies.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { loadAddon } = require('./addon.js');

const { VornNode, VornZoneNode, removeZone } = loadAddon();
const { withRates } = VornNode;
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

// Expects `fn` to throw a TypeError or RangeError (`Kind`) without a code.
function throwsKind(fn, Kind, message, label = message) {
  assert.throws(fn, (err) => {
    assert.strictEqual(Object.getPrototypeOf(err), Kind.prototype, label);
    assert.deepStrictEqual([err.message, err.code], [message, undefined], label);
    return true;
  });
}

test('rates that cannot make a limit are refused before any engine or zone is made', () => {
  const refused = [
    [TypeError, null, 'rates must be an array of [count, windowMs] pairs, not null'],
    [TypeError, '10/s', 'rates must be an array of [count, windowMs] pairs, not "10/s"'],
    [TypeError, [[1]], 'each rate must be a [count, windowMs] pair, not [1]'],
    [TypeError, [[1, 1000, 2]], 'each rate must be a [count, windowMs] pair, not [1,1000,2]'],
    [TypeError, [['5', 1000]], 'a rate\'s count must be a number, not "5"'],
    [TypeError, [[5, 1000n]], 'a rate\'s windowMs must be a number, not 1000n'],
    [RangeError, [], 'a limit needs at least one rate'],
    [RangeError, Array(5).fill([1, 1000]), 'a limit has at most 4 rates, not 5'],
    [RangeError, [[1, 1000], [NaN, 1000]], 'a rate\'s count must be a finite number >= 0'],
    [RangeError, [[-1, 1000]], 'a rate\'s count must be a finite number >= 0'],
    [RangeError, [[1, 1.5]], 'a rate\'s window must be a whole number of milliseconds, not 1.5'],
    [RangeError, [[1, Infinity]], 'a rate\'s window must be a whole number of milliseconds, not Infinity'],
    [RangeError, [[1, 0]], 'a rate\'s window must be 1 ms to 366 days, not 0 ms'],
    [RangeError, [[1, -5]], 'a rate\'s window must be 1 ms to 366 days, not -5 ms'],
    [RangeError, [[1, 31622400001]], 'a rate\'s window must be 1 ms to 366 days, not 31622400001 ms'],
    [RangeError, [[1, 1e300]], 'a rate\'s window must be 1 ms to 366 days, not 1e+300 ms'],
  ];
  const zone = `js${process.pid}-never-made`;
  for (const [Kind, rates, message] of refused) {
    throwsKind(() => new VornNode({}, rates, withRates), Kind, message);
    throwsKind(() => new VornZoneNode({ zone }, rates, withRates), Kind, message, `${message} (zone)`);
  }
  assert.strictEqual(removeZone(zone), false);
  // The widest rates are taken; a bucket of none never refills.
  assert.deepStrictEqual(new VornNode({}, [[0, 1], [2 ** 53, 31622400000]], withRates).policies,
    [{ limit: 0, windowMs: null }, { limit: 2 ** 53, windowMs: 31622400000 }]);
});

test('a cost that cannot be used is refused, naming it, and nothing is counted', () => {
  const refused = [
    [TypeError, '2', 'cost must be a number, not "2"'],
    [TypeError, null, 'cost must be a number, not null'],
    [TypeError, true, 'cost must be a number, not true'],
    [RangeError, -1, 'cost must be a finite number >= 0, not -1'],
    [RangeError, NaN, 'cost must be a finite number >= 0, not NaN'],
    [RangeError, Infinity, 'cost must be a finite number >= 0, not Infinity'],
    [RangeError, 0.5, 'cost must be a whole number for sliding_window, not 0.5'],
  ];
  const node = new VornNode({ algorithm: 'sliding_window', capacity: 2 });
  for (const [Kind, cost, message] of refused) {
    throwsKind(() => node.checkLimits('a', '/', Date.now(), cost), Kind, message);
    throwsKind(() => node.refund('a', cost), Kind, message, `refund: ${message}`);
  }
  assert.strictEqual(node.checkLimits('a', '/', Date.now()).remaining, 1);
  // The buckets take fractions.
  const bucket = new VornNode({ capacity: 2, refillRate: 0 });
  assert.strictEqual(bucket.checkLimits('a', '/', Date.now(), 0.5).remaining, 1);
  bucket.refund('a', 0.25);
  assert.strictEqual(bucket.checkLimits('a', '/', Date.now(), 0.75).remaining, 1);
});

test('a cost of 0 counts nothing and answers whether a cost of 1 would pass', () => {
  for (const algorithm of ['token_bucket', 'fixed_window', 'sliding_window', 'leaky_bucket']) {
    const node = new VornNode({ algorithm, capacity: 1, refillRate: 0 });
    const look = () => node.checkLimits('a', '/', Date.now(), 0);
    assert.deepStrictEqual([look().allowed, look().remaining], [true, 1], algorithm);
    assert.strictEqual(node.checkLimits('a', '/', Date.now(), 1).allowed, true, algorithm);
    assert.deepStrictEqual([look().allowed, look().remaining], [false, 0], algorithm);
    assert.strictEqual(node.checkLimits('a', '/', Date.now(), undefined).allowed, false, algorithm);
  }
});

test('of several rates the one nearest refusing tells limit and windowMs', () => {
  const node = new VornNode({ algorithm: 'fixed_window' }, [[3, 3600000], [2, 60000]], withRates);
  const answers = [1, 2, 3].map(() => node.checkLimits('a', '/', Date.now()));
  assert.deepStrictEqual(answers.map((r) => [r.allowed, r.remaining, r.limit, r.windowMs]),
    [[true, 1, 2, 60000], [true, 0, 2, 60000], [false, 0, 2, 60000]]);
  assert.deepStrictEqual(node.policies, [{ limit: 3, windowMs: 3600000 }, { limit: 2, windowMs: 60000 }]);
  for (const result of answers) assert.strictEqual(result.policies, node.policies);
  assert.ok(Object.isFrozen(node.policies) && node.policies.every(Object.isFrozen));
  // The hour refuses first here; the refused check counted on neither rate.
  const hourly = new VornNode({ algorithm: 'sliding_window' }, [[2, 3600000], [5, 60000]], withRates);
  const told = [1, 2, 3].map(() => hourly.checkLimits('b', '/', Date.now()));
  assert.deepStrictEqual(told.map((r) => [r.allowed, r.limit, r.windowMs]),
    [[true, 2, 3600000], [true, 2, 3600000], [false, 2, 3600000]]);
  hourly.refund('b', 2);
  assert.strictEqual(hourly.checkLimits('b', '/', Date.now(), 0).remaining, 2);
  assert.strictEqual(hourly.checkLimits('b', '/', Date.now(), 2).allowed, true);
});

test('policies: every rate\'s, made once; null windowMs where nothing refills', () => {
  const cases = [
    [new VornNode({ capacity: 5, refillRate: 0 }), [{ limit: 5, windowMs: null }]],
    [new VornNode({ algorithm: 'sliding_window', capacity: 7 }), [{ limit: 7, windowMs: 60000 }]],
    [new VornNode({ algorithm: 'leaky_bucket' }, [[4, 2000]], withRates), [{ limit: 4, windowMs: 2000 }]],
  ];
  for (const [node, policies] of cases) {
    assert.deepStrictEqual(node.policies, policies);
    assert.strictEqual(node.policies, node.policies);
    const result = node.checkLimits('a', '/', Date.now());
    assert.deepStrictEqual([result.limit, result.windowMs, 'policies' in result],
      [policies[0].limit, policies[0].windowMs, false]);
  }
  const { get } = Object.getOwnPropertyDescriptor(VornNode.prototype, 'policies');
  for (const call of [() => get.call({}), () => VornNode.prototype.refund.call({}, 'a'),
    () => VornNode.prototype.reset.call(Object.create(new VornNode({})), 'a')]) {
    assert.throws(call, { code: 'InvalidArg' });
  }
});

test('refund gives back and reset forgets, on every rate; neither makes a key', () => {
  const engines = [new VornNode({ algorithm: 'fixed_window', capacity: 2 }),
    new VornNode({ algorithm: 'fixed_window' }, [[2, 60000], [4, 3600000]], withRates)];
  for (const node of engines) {
    const check = (cost) => node.checkLimits('a', '/', Date.now(), cost);
    assert.strictEqual(node.refund('a'), undefined);
    assert.strictEqual(node.reset('a'), undefined);
    assert.strictEqual(check().remaining, 1);
    check();
    node.refund('a');
    node.refund('other', 2);
    assert.deepStrictEqual([check().allowed, check().allowed], [true, false]);
    node.reset('a');
    assert.strictEqual(check(2).remaining, 0);
    node.refund('a', 0);
    assert.strictEqual(check().allowed, false);
  }
});

test('a zone engine of several rates counts, refunds and resets for every instance', (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-zones-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const config = { zone: `js${process.pid}-rates`, zoneDir: dir, algorithm: 'fixed_window' };
  const [first, second] = [0, 1].map(() => new VornZoneNode(config, [[3, 3600000], [2, 60000]], withRates));
  assert.deepStrictEqual(second.policies, [{ limit: 3, windowMs: 3600000 }, { limit: 2, windowMs: 60000 }]);
  first.checkLimits('a', '/', Date.now());
  const spent = second.checkLimits('a', '/', Date.now());
  assert.deepStrictEqual([spent.remaining, spent.limit, spent.policies], [0, 2, second.policies]);
  assert.strictEqual(first.checkLimits('a', '/', Date.now(), 0).allowed, false);
  second.refund('a');
  assert.strictEqual(first.checkLimits('a', '/', Date.now()).allowed, true);
  first.reset('a');
  assert.strictEqual(second.checkLimits('a', '/', Date.now(), 2).remaining, 0);
  throwsKind(() => first.checkLimits('a', '/', Date.now(), 1.5), RangeError,
    'cost must be a whole number for fixed_window, not 1.5');
});
