'use strict';
// The JavaScript side of checkRequest: the per-environment flag byte the native
// part leaves, the private per-instance handle, and the receivers that must
// still fail as an unwrap does.
const test = require('node:test');
const assert = require('node:assert');
const { loadAddon, throwsCoded } = require('./addon.js');

const { VornNode } = loadAddon();
const unwrapMessage = 'Failed to unwrap exclusive reference of `VornNode` type from napi value';

test('interleaved instances each get their own verdict, reason and algorithm', () => {
  const engines = [
    [new VornNode({ capacity: 1, refillRate: 0 }), 'token_bucket', 'token_exhausted'],
    [new VornNode({ algorithm: 'sliding_window', mode: 'shadow', capacity: 1 }), 'sliding_window',
      'limit_exceeded'],
    [new VornNode({ algorithm: 'Made_Up', mode: 'disabled' }), 'Made_Up', undefined],
    [new VornNode({ algorithm: 'fixed_window', capacity: 100 }), 'fixed_window', 'within_limit'],
  ];
  for (const [node] of engines) node.checkRequest('a', '/', Date.now());
  for (let round = 0; round < 3; round++) {
    const results = engines.map(([node]) => node.checkRequest('a', '/', Date.now()));
    assert.deepStrictEqual(results.map((r) => [r.allowed, r.wouldBlock, r.reason, r.algorithm]), [
      [false, true, 'token_exhausted', 'token_bucket'],
      [true, true, 'limit_exceeded', 'sliding_window'],
      [true, false, undefined, 'Made_Up'],
      [true, false, 'within_limit', 'fixed_window'],
    ]);
    assert.strictEqual('reason' in results[2], false);
    assert.strictEqual(results[2].debugInfo, 'disabled');
  }
});

test('instances show nothing of their handle and the method looks as before', () => {
  const node = new VornNode({});
  assert.deepStrictEqual(Reflect.ownKeys(node), []);
  assert.deepStrictEqual(Object.getOwnPropertyNames(Object.getPrototypeOf(node)).sort(),
    ['checkLimits', 'checkRequest', 'constructor', 'nameCounts', 'policies', 'refund', 'reset', 'stats']);
  assert.strictEqual(VornNode.prototype.checkRequest.length, 0);
  const result = node.checkRequest('a', '/', Date.now());
  assert.strictEqual(Object.getPrototypeOf(result), Object.prototype);
  assert.notStrictEqual(node.checkRequest('a', '/', Date.now()), result);
});

test('receivers that are not instances fail as an unwrap, instances of subclasses work', () => {
  const node = new VornNode({});
  const method = VornNode.prototype.checkRequest;
  for (const receiver of [new Proxy(node, {}), Object.create(VornNode.prototype), {}, 5, 'text',
    () => {}]) {
    throwsCoded(assert, () => method.call(receiver, 'a', '/', 1), 'InvalidArg', unwrapMessage);
  }
  class Sub extends VornNode {}
  assert.strictEqual(new Sub({ capacity: 3 }).checkRequest('a', '/', 1).debugInfo,
    '2 tokens remaining');
});

test('long and non-ASCII texts take the general conversion and still check', () => {
  const node = new VornNode({ capacity: 3, refillRate: 0 });
  const longIp = 'x'.repeat(300);
  assert.strictEqual(node.checkRequest(longIp, '/', 1).debugInfo, '2 tokens remaining');
  assert.strictEqual(node.checkRequest(longIp, '/caf\u00e9', 1).debugInfo, '1 tokens remaining');
  assert.strictEqual(node.checkRequest(`${longIp}\u00e9`, '/', 1).debugInfo, '2 tokens remaining');
  throwsCoded(assert, () => node.checkRequest(longIp, 7, 1), 'StringExpected',
    'Failed to convert JavaScript value `Number 7 ` into rust type `String`');
});

test('a route repeated across calls and instances is still taken as the argument it is', () => {
  const one = new VornNode({ capacity: 5, refillRate: 0 });
  const two = new VornNode({ capacity: 5, refillRate: 0 });
  for (const node of [one, two, one]) node.checkRequest('a', '/same', 1);
  // A call that fails after its route was read, then the same route again.
  assert.throws(() => one.checkRequest('a', '/same', '5'), { code: 'NumberExpected' });
  assert.strictEqual(one.checkLimits('a', '/same', 1).remaining, 2);
  assert.strictEqual(one.checkLimits('a', '/same', 1, 2).remaining, 0);
  for (const route of [undefined, null, 7, new String('/same')]) {
    assert.throws(() => one.checkRequest('a', route, 1), { code: 'StringExpected' });
    assert.throws(() => two.checkLimits('a', route, 1), { code: 'StringExpected' });
  }
  assert.strictEqual(two.checkRequest('a', '/same', 1).debugInfo, '3 tokens remaining');
});

test('debugInfo is each check\'s own text when texts repeat across instances and methods', () => {
  const one = new VornNode({ capacity: 5, refillRate: 0 });
  const two = new VornNode({ capacity: 5, refillRate: 0 });
  const off = new VornNode({ mode: 'disabled' });
  const texts = [
    one.checkRequest('a', '/', 1), two.checkRequest('a', '/', 1), one.checkLimits('a', '/', 1),
    off.checkRequest('a', '/', 1), off.checkLimits('a', '/', 1, 1), two.checkLimits('a', '/', 1, 2),
  ].map((result) => result.debugInfo);
  assert.throws(() => one.checkRequest('a', 7, 1), { code: 'StringExpected' });
  texts.push(one.checkRequest('a', '/', 1).debugInfo, one.checkLimits('a', '/', 1, 2).debugInfo);
  assert.deepStrictEqual(texts, ['4 tokens remaining', '4 tokens remaining', '3 tokens remaining',
    'disabled', 'disabled', '2 tokens remaining', '2 tokens remaining', '0 tokens remaining']);
});
