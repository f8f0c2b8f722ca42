'use strict';
// Reading NodeConfig: defaults, what each kind of wrong value reports, and
// that nothing is coerced.
const test = require('node:test');
const assert = require('node:assert');
const { loadAddon, throwsCoded } = require('./addon.js');

const { VornNode } = loadAddon();
const now = () => Date.now();

function firstCheck(config) {
  return new VornNode(config).checkRequest('10.0.0.1', '/', now());
}

test('an empty options object builds the default token bucket', () => {
  const result = firstCheck({});
  assert.deepStrictEqual(Object.keys(result),
    ['allowed', 'wouldBlock', 'reason', 'algorithm', 'debugInfo']);
  assert.deepStrictEqual(result, {
    allowed: true, wouldBlock: false, reason: 'within_limit',
    algorithm: 'token_bucket', debugInfo: '99 tokens remaining',
  });
  assert.strictEqual(Object.getPrototypeOf(result), Object.prototype);
});

test('undefined properties, extra properties and primitive configs mean defaults', () => {
  const explicit = firstCheck({ algorithm: undefined, capacity: undefined, unknown: 'x' });
  assert.strictEqual(explicit.debugInfo, '99 tokens remaining');
  assert.strictEqual(explicit.algorithm, 'token_bucket');
  // A number or a string reads like an object without the options.
  assert.strictEqual(firstCheck(5).debugInfo, '99 tokens remaining');
  assert.strictEqual(firstCheck('config').debugInfo, '99 tokens remaining');
});

test('inherited options and getters are read like own properties', () => {
  const proto = { capacity: 7 };
  assert.strictEqual(firstCheck(Object.create(proto)).debugInfo, '6 tokens remaining');
  assert.strictEqual(firstCheck({ get capacity() { return 3; } }).debugInfo,
    '2 tokens remaining');
});

test('undefined or null as config throws the runtime own exception', () => {
  for (const args of [[], [undefined], [null]]) {
    assert.throws(() => new VornNode(...args), (err) => {
      assert.ok(err instanceof TypeError);
      assert.strictEqual(err.code, undefined);
      return true;
    });
  }
});

test('wrong option types name the option and are never coerced', () => {
  const cases = [
    [{ algorithm: null }, 'StringExpected',
      'Failed to convert JavaScript value `Null` into rust type `String` on NodeConfig.algorithm'],
    [{ debug: true }, 'StringExpected',
      'Failed to convert JavaScript value `Boolean true ` into rust type `String` on NodeConfig.debug'],
    [{ capacity: '100' }, 'NumberExpected',
      'Failed to convert napi value String into rust type `f64` on NodeConfig.capacity'],
    [{ apiKey: [1, 2] }, 'StringExpected',
      'Failed to convert JavaScript value `Object [1,2]` into rust type `String` on NodeConfig.apiKey'],
    [{ refillRate: null }, 'NumberExpected',
      'Failed to convert napi value Null into rust type `f64` on NodeConfig.refillRate'],
    [{ blockDurationMs: {} }, 'NumberExpected',
      'Failed to convert napi value Object into rust type `f64` on NodeConfig.blockDurationMs'],
    [{ burstLimit: 5n }, 'NumberExpected',
      'Failed to convert napi value Unknown into rust type `f64` on NodeConfig.burstLimit'],
    [{ mode: new String('shadow') }, 'StringExpected',
      'Failed to convert JavaScript value `Object "shadow"` into rust type `String` on NodeConfig.mode'],
  ];
  cases.forEach(([config, code, message], i) => {
    throwsCoded(assert, () => new VornNode(config), code, message, `case ${i}`);
  });
});

test('reading stops at the first failing option, in declaration order', () => {
  let laterRead = false;
  const config = {
    capacity: 'x',
    mode: 1,
    get blockDurationMs() { laterRead = true; return 1; },
  };
  throwsCoded(assert, () => new VornNode(config), 'StringExpected',
    'Failed to convert JavaScript value `Number 1 ` into rust type `String` on NodeConfig.mode');
  assert.strictEqual(laterRead, false);
});

test('values are described by kind in conversion messages', () => {
  const describe = (value) => {
    try {
      new VornNode({ apiKey: value });
    } catch (err) {
      return err.message.replace(/^Failed to convert JavaScript value `(.*)` into rust type `String` on NodeConfig.apiKey$/s, '$1');
    }
    assert.fail('no throw');
  };
  assert.strictEqual(describe(42), 'Number 42 ');
  assert.strictEqual(describe(false), 'Boolean false ');
  assert.strictEqual(describe(Symbol('s')), 'Symbol');
  assert.strictEqual(describe(10n), 'Unknown');
  assert.strictEqual(describe({ a: 1, b: 'x' }), 'Object {"a":1,"b":"x"}');
  assert.strictEqual(describe({ toJSON() { return undefined; } }), 'Object undefined');
  assert.strictEqual(describe(function named() {}), 'function named(..) ');
  const anonymous = [() => 1][0];
  assert.strictEqual(describe(anonymous), 'function anonymous(..) ');
  // A name that is not a string cannot send the description round in circles.
  const selfNamed = function f() {};
  Object.defineProperty(selfNamed, 'name', { get() { return selfNamed; } });
  assert.strictEqual(describe(selfNamed), 'function anonymous(..) ');
});

test('exceptions raised while reading or describing reach JavaScript unchanged', () => {
  const boom = new RangeError('getter failed');
  assert.throws(() => new VornNode({ get mode() { throw boom; } }), (err) => err === boom);

  const circular = {};
  circular.self = circular;
  assert.throws(() => new VornNode({ debug: circular }), (err) => {
    assert.ok(err instanceof TypeError);
    assert.match(err.message, /circular/);
    return true;
  });

  const custom = new Error('toJSON failed');
  assert.throws(() => new VornNode({ algorithm: { toJSON() { throw custom; } } }),
    (err) => err === custom);

  // A thrown non-error becomes a plain Error with its text and the option name.
  throwsCoded(assert, () => new VornNode({ algorithm: { toJSON() { throw { x: 1 }; } } }),
    'GenericFailure', '[object Object] on NodeConfig.algorithm');
});

test('numeric options take any number without a range check', () => {
  for (const value of [-5, 0, 1.9, NaN, Infinity, -Infinity, 1e30]) {
    const node = new VornNode({
      requestsPerMinute: value, requestsPerSecond: value, burstLimit: value,
      burstMultiplier: value, blockDurationMs: value, debug: String(value),
    });
    // Stored-only options never change a verdict, nor debugInfo.
    assert.strictEqual(node.checkRequest('a', '/', now()).debugInfo, '99 tokens remaining');
  }
  // NaN capacity reaches the limiter as it is: nothing is ever admitted.
  assert.strictEqual(firstCheck({ capacity: NaN }).allowed, false);
});

test('the constructor refuses to run without new', () => {
  throwsCoded(assert, () => VornNode({}), 'InvalidArg',
    "Class constructor VornNode cannot be invoked without 'new'");
  // The global object did not become an instance.
  throwsCoded(assert, () => VornNode.prototype.checkRequest.call(globalThis, 'a', '/', 1),
    'InvalidArg', 'Failed to unwrap exclusive reference of `VornNode` type from napi value');
});
