'use strict';
// checkRequest: results by mode and algorithm, argument failures, and which
// allowance each call draws on.
const test = require('node:test');
const assert = require('node:assert');
const { loadAddon, throwsCoded } = require('./addon.js');

const { VornNode } = loadAddon();
const now = () => Date.now();

// Checks until the first refusal; returns how many were admitted.
function admittedBeforeRefusal(node, ip, route = '/', limit = 1000) {
  for (let i = 0; i < limit; i++) {
    if (!node.checkRequest(ip, route, now()).allowed) return i;
  }
  return limit;
}

test('a refusal in active mode blocks with the limiter reason', () => {
  const node = new VornNode({ capacity: 2, refillRate: 0 });
  assert.strictEqual(node.checkRequest('a', '/', now()).debugInfo, '1 tokens remaining');
  node.checkRequest('a', '/', now());
  const refused = node.checkRequest('a', '/', now());
  assert.deepStrictEqual(Object.keys(refused),
    ['allowed', 'wouldBlock', 'reason', 'algorithm', 'debugInfo']);
  assert.strictEqual(refused.allowed, false);
  assert.strictEqual(refused.wouldBlock, true);
  assert.strictEqual(refused.reason, 'token_exhausted');
  assert.strictEqual(refused.algorithm, 'token_bucket');
});

test('shadow mode lets refusals through and still counts them', () => {
  const node = new VornNode({ mode: 'shadow', capacity: 1, refillRate: 0 });
  assert.strictEqual(node.checkRequest('a', '/', now()).wouldBlock, false);
  for (let i = 0; i < 3; i++) {
    const result = node.checkRequest('a', '/', now());
    assert.strictEqual(result.allowed, true);
    assert.strictEqual(result.wouldBlock, true);
    assert.strictEqual(result.reason, 'token_exhausted');
  }
});

test('disabled mode has no reason property and consumes nothing', () => {
  const node = new VornNode({ mode: 'disabled', algorithm: 'fixed_window', capacity: 0 });
  const result = node.checkRequest('a', '/', now());
  assert.deepStrictEqual(Object.keys(result), ['allowed', 'wouldBlock', 'algorithm', 'debugInfo']);
  assert.strictEqual('reason' in result, false);
  assert.deepStrictEqual(result, {
    allowed: true, wouldBlock: false, algorithm: 'fixed_window', debugInfo: 'disabled',
  });
});

test('every algorithm gets the options, and unknown names run the token bucket verbatim', () => {
  for (const algorithm of ['token_bucket', 'sliding_window', 'fixed_window', 'leaky_bucket']) {
    const node = new VornNode({ algorithm, capacity: 3, refillRate: 0 });
    assert.strictEqual(admittedBeforeRefusal(node, 'a'), 3, algorithm);
    assert.strictEqual(node.checkRequest('a', '/', now()).algorithm, algorithm);
  }
  // Non-ASCII text at every position of an eight-byte word must not take the
  // one-byte path.
  const texts = ['abcdefgé', 'abcdefghijklmnoé', 'é', 'x'.repeat(16) + '\u00ff', '日本'];
  for (const algorithm of ['foo', 'Token_Bucket', '', ...texts]) {
    const result = new VornNode({ algorithm }).checkRequest('a', '/', now());
    assert.strictEqual(result.algorithm, algorithm);
    assert.strictEqual(result.debugInfo, '99 tokens remaining');
  }
});

test('the ip is the key: routes share it, instances never do', () => {
  const node = new VornNode({ capacity: 3, refillRate: 0 });
  node.checkRequest('a', '/one', now());
  node.checkRequest('a', '/two', now());
  node.checkRequest('a', '/three', now());
  assert.strictEqual(node.checkRequest('a', '/four', now()).allowed, false);
  assert.strictEqual(node.checkRequest('b', '/one', now()).allowed, true);
  const other = new VornNode({ capacity: 3, refillRate: 0 });
  assert.strictEqual(admittedBeforeRefusal(other, 'a'), 3);
});

test('texts keep every byte: long, non-ASCII and NUL-bearing keys stay distinct', () => {
  const node = new VornNode({ capacity: 1, refillRate: 0 });
  const long = 'x'.repeat(5000);
  const keys = [long, long + 'y', 'é'.repeat(200), 'é'.repeat(201), 'a\u0000b', 'a\u0000c',
    '😀'.repeat(80), '😀'.repeat(80) + 'x', ''];
  for (const key of keys) {
    assert.strictEqual(node.checkRequest(key, '/', now()).allowed, true, JSON.stringify(key));
  }
  for (const key of keys) {
    assert.strictEqual(node.checkRequest(key, '/', now()).allowed, false, JSON.stringify(key));
  }
  const algorithm = 'ß'.repeat(300);
  assert.strictEqual(new VornNode({ algorithm }).checkRequest('a', '/', 1).algorithm, algorithm);
});

test('bad arguments throw without consuming allowance', () => {
  const node = new VornNode({ capacity: 1, refillRate: 0 });
  throwsCoded(assert, () => node.checkRequest('a', '/'), 'NumberExpected',
    'Failed to convert napi value Undefined into rust type `f64`');
  throwsCoded(assert, () => node.checkRequest(42, '/', now()), 'StringExpected',
    'Failed to convert JavaScript value `Number 42 ` into rust type `String`');
  throwsCoded(assert, () => node.checkRequest('a', null, now()), 'StringExpected',
    'Failed to convert JavaScript value `Null` into rust type `String`');
  throwsCoded(assert, () => node.checkRequest('a', '/', '5'), 'NumberExpected',
    'Failed to convert napi value String into rust type `f64`');
  throwsCoded(assert, () => node.checkRequest(), 'StringExpected',
    'Failed to convert JavaScript value `Undefined` into rust type `String`');
  const circular = [];
  circular.push(circular);
  assert.throws(() => node.checkRequest(circular, '/', now()), TypeError);
  // None of the failures reached the engine; the one token is still there.
  assert.strictEqual(node.checkRequest('a', '/', now()).allowed, true);
  assert.strictEqual(node.checkRequest('a', '/', now()).allowed, false);
});

test('any startMs number is accepted and extra arguments are ignored', () => {
  const node = new VornNode({});
  for (const start of [-1, NaN, Infinity, -Infinity, now() + 3.6e6, 0, 1.5]) {
    assert.strictEqual(node.checkRequest('s' + start, '/', start).allowed, true, String(start));
  }
  assert.strictEqual(node.checkRequest('extra', '/', now(), 'identity', {}).allowed, true);
});

test('checkRequest is an enumerable prototype method that checks its receiver', () => {
  const { VornNode: Again, ...rest } = loadAddon();
  assert.strictEqual(Again, VornNode);
  assert.deepStrictEqual(Object.keys(rest), ['VornZoneNode', 'removeZone', 'zoneStats', 'zoneCounts', 'processCounts']);
  assert.deepStrictEqual(Object.getOwnPropertyNames(VornNode.prototype).sort(),
    ['checkLimits', 'checkRequest', 'constructor', 'nameCounts', 'policies', 'refund', 'reset',
      'stats']);
  assert.deepStrictEqual(Object.getOwnPropertyDescriptor(VornNode.prototype, 'checkRequest'),
    { value: VornNode.prototype.checkRequest, writable: true, enumerable: true, configurable: true });
  assert.strictEqual(VornNode.name, 'VornNode');
  assert.strictEqual(VornNode.prototype.checkRequest.name, 'checkRequest');

  const node = new VornNode({});
  const inherited = [];
  for (const key in node) inherited.push(key);
  assert.deepStrictEqual(inherited, ['checkRequest', 'checkLimits', 'refund', 'reset', 'stats', 'nameCounts']);

  const unwrapFailure = 'Failed to unwrap exclusive reference of `VornNode` type from napi value';
  const { checkRequest } = VornNode.prototype;
  for (const receiver of [{}, VornNode.prototype, Object.create(node), undefined, 5]) {
    throwsCoded(assert, () => checkRequest.call(receiver, 'a', '/', now()), 'InvalidArg',
      unwrapFailure, String(receiver));
  }
});

test('a subclass instance is a VornNode', () => {
  class Limited extends VornNode {
    check(ip) { return this.checkRequest(ip, '/', Date.now()); }
  }
  const node = new Limited({ capacity: 5 });
  assert.ok(node instanceof VornNode);
  assert.strictEqual(node.check('a').debugInfo, '4 tokens remaining');
});

test('telemetry of long routes is bounded in bytes, not only in events', () => {
  const node = new VornNode({ apiKey: 'k', capacity: 1e9 });
  const route = `/${'r'.repeat(60000)}`;
  for (let i = 0; i < 400; i++) node.checkRequest('a', route, now());  // fills the queue
  const before = process.memoryUsage().rss;
  for (let i = 0; i < 4000; i++) node.checkRequest('a', route, now());
  // Unbounded, these events would hold about 480 MiB.
  assert.ok(process.memoryUsage().rss - before < 64 * 2 ** 20,
    `grew ${(process.memoryUsage().rss - before) / 2 ** 20} MiB`);
});
