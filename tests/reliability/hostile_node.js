'use strict';
// Throws random values at every option of new VornNode(config) and of new
// VornZoneNode(config) (with zone, zoneSize, zoneDir, onError and logger; a
// valid zoneDir is a scratch directory), at removeZone and zoneStats,
// and at every argument and receiver of checkRequest: every kind of JavaScript value,
// NaN, infinities, lone surrogates, symbols, BigInts, circular objects,
// getters and proxies that throw, wrong `this`. Every call must return a
// well-formed result or throw one of the documented errors (or the exception
// that our own hostile value raised); the process must survive and a canary
// instance must count exactly right afterwards.
// Usage: node hostile_node.js [iterations] [seed]   (VORN_NODE_ADDON names the build)
const assert = require('node:assert');
const { loadAddon } = require('../node/addon.js');

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { VornNode, VornZoneNode, removeZone, zoneStats } = loadAddon();
// The zones in `directory` that exist now, by name.
function zoneObjects(directory) {
  return new Set(fs.readdirSync(directory).map((entry) => /^vorn\.(.+)\.zone-v\d+$/.exec(entry))
    .filter((match) => match !== null).map((match) => match[1]));
}
const ZONE_NAMES = [`hz${process.pid}-a`, `hz${process.pid}-b`];
const OPTIONS = ['algorithm', 'mode', 'capacity', 'refillRate', 'apiKey', 'debug', 'backendUrl',
  'requestsPerMinute', 'requestsPerSecond', 'burstLimit', 'burstMultiplier', 'blockDurationMs'];
const TEXT_OPTIONS = new Set(['algorithm', 'mode', 'apiKey', 'debug', 'backendUrl']);

// A small seeded generator, so a failing run can be repeated.
function random(seed) {
  let state = seed >>> 0 || 1;
  return () => {
    state ^= state << 13; state >>>= 0;
    state ^= state >>> 17;
    state ^= state << 5; state >>>= 0;
    return state / 4294967296;
  };
}

class Marker extends Error {}  // thrown by our own hostile values; must come back unchanged
const marker = () => { throw new Marker('hostile'); };

// Values whose conversion runs JavaScript that calls back into the addon:
// checks, constructions and (with --expose-gc) collections in the middle of a call.
const reentrant = [];
function reenter() {
  const node = new VornNode({ capacity: 1 });
  node.checkRequest('inner', '/', 0);
  if (reentrant.length > 0) reentrant[0].checkRequest('inner', '/', 0);
  if (typeof globalThis.gc === 'function') globalThis.gc();
  return 'reentered';
}

function values() {
  const circular = { a: 1 };
  circular.self = circular;
  const revoked = Proxy.revocable({}, {});
  revoked.revoke();
  return [
    undefined, null, true, false, 0, -0, 1, -1, 42.5, NaN, Infinity, -Infinity, 1e308, 5e-324,
    Number.MAX_SAFE_INTEGER, 2 ** 64, -(2 ** 64), '', 'token_bucket', 'sliding_window',
    'fixed_window', 'leaky_bucket', 'active', 'shadow', 'disabled', 'Token_Bucket', '\ud800',
    'a\udfffb', '\u0000', 'x'.repeat(100000), '\u00e9\u{1f600}', Symbol('s'), Symbol.iterator,
    10n, -(2n ** 70n), {}, [], [1, 2], [undefined], circular, { toJSON: marker },
    { toJSON: () => 10n }, { big: 1n }, function named() {}, () => 0, class Klass {},
    new Date(0), new Date(NaN), /re/g, new Map([[1, 2]]), new Set([1]), new WeakMap(),
    new Uint8Array(4), new ArrayBuffer(8), Promise.resolve(1), new Error('e'), Object.create(null),
    Object.freeze({ capacity: 1 }), new Proxy({}, { get: marker }), revoked.proxy,
    new Proxy([], { ownKeys: marker }), new String('boxed'), new Number(3), globalThis, Math,
    VornNode, VornNode.prototype, { toJSON: reenter },
    Object.defineProperty({}, 'capacity', { get: () => (reenter(), 5), enumerable: true }),
  ];
}

// A config: mostly plausible values, some hostile ones, sometimes getters,
// inherited properties or proxies.
function config(rng, pool) {
  const pick = (list) => list[Math.floor(rng() * list.length)];
  const roll = rng();
  if (roll < 0.05) return pick(pool);
  const plausibleText = ['token_bucket', 'fixed_window', 'shadow', 'disabled', 'k', '', '\ud800'];
  const plausibleNumber = [0, 1, 5, 2.5, -3, NaN, Infinity, 1e30, undefined];
  const target = {};
  for (const option of OPTIONS) {
    const r = rng();
    if (r < 0.5) continue;
    let value;
    if (r < 0.9) value = pick(TEXT_OPTIONS.has(option) ? plausibleText : plausibleNumber);
    else value = pick(pool);
    if (rng() < 0.03) Object.defineProperty(target, option, { get: marker, enumerable: true });
    else if (rng() < 0.03) {
      Object.defineProperty(target, option, { get: () => (reenter(), value), enumerable: true });
    } else target[option] = value;
  }
  if (roll < 0.1) return Object.create(target);  // every option inherited
  if (roll < 0.15) return new Proxy(target, { get: (t, key) => (rng() < 0.3 ? marker() : t[key]) });
  return target;
}

const STATUS = new Set(['StringExpected', 'NumberExpected', 'InvalidArg', 'ObjectExpected',
  'GenericFailure', 'PendingException', 'ZoneError']);
const MESSAGE = new RegExp('^(Failed to convert JavaScript value `[^]*` into rust type `String`' +
  '|Failed to convert napi value (Undefined|Null|Boolean|Number|String|Symbol|Object|Function|' +
  'External|Unknown) into rust type `f64`|Failed to get property with field `\\w+`' +
  '|Failed to unwrap exclusive reference of `VornNode` type from napi value' +
  "|Class constructor Vorn(Zone)?Node cannot be invoked without 'new'" +
  "|invalid zone name: use 1 to 64 characters from A-Z, a-z, 0-9, '_', '.', '-'" +
  '|Missing field `zone` on NodeConfig: [^]*' +
  "|zone (directory )?'[^]*':? [^]*" +
  ')' +
  `( on NodeConfig\\.(${OPTIONS.join('|')}|zone|zoneSize|zoneDir))?$`);
const NOT_WHOLE_SIZE = /^zoneSize must be a whole number of bytes, not /;

function expectThrown(error, context) {
  if (error instanceof Marker) return 'marker';
  if (Object.getPrototypeOf(error) === Error.prototype && error.code !== undefined) {
    assert.ok(STATUS.has(error.code), `${context}: undocumented code ${error.code}`);
    assert.match(error.message, MESSAGE, context);
    return 'coded';
  }
  if (error instanceof RangeError && NOT_WHOLE_SIZE.test(error.message)) return 'option';
  // The runtime's own exceptions: reading options of undefined or null, a
  // revoked proxy, JSON.stringify of a circular or BigInt-holding value, and
  // calling the class without new; and the addon's for an option of the
  // wrong type.
  assert.ok(error instanceof TypeError, `${context}: unexpected ${error && error.stack}`);
  return 'runtime';
}

function expectResult(result, context) {
  const keys = Object.keys(result);
  const full = ['allowed', 'wouldBlock', 'reason', 'algorithm', 'debugInfo'];
  assert.ok(keys.join() === full.join() ||
    keys.join() === full.filter((k) => k !== 'reason').join(), `${context}: keys ${keys}`);
  assert.strictEqual(typeof result.allowed, 'boolean');
  assert.strictEqual(typeof result.wouldBlock, 'boolean');
  assert.strictEqual(typeof result.algorithm, 'string');
  assert.strictEqual(typeof result.debugInfo, 'string');
  if ('reason' in result) {
    assert.ok(['within_limit', 'limit_exceeded', 'token_exhausted'].includes(result.reason));
    assert.strictEqual(result.wouldBlock, result.reason !== 'within_limit');
  } else {
    assert.deepStrictEqual([result.allowed, result.wouldBlock, result.debugInfo],
      [true, false, 'disabled']);
  }
}

function attempt(fn, context, stats) {
  let result;
  try {
    result = fn();
  } catch (error) {
    stats[expectThrown(error, context)] += 1;
    return undefined;
  }
  stats.returned += 1;
  return result;
}

// One hostile call of the zone surface: a construction with a zone option, or
// removeZone / zoneStats with any value.
function zoneCall(rng, pick, pool, instances, context, stats, scratch) {
  const names = [...ZONE_NAMES, '', 'a/b', 'x'.repeat(65), '\ud800'];
  const name = () => (rng() < 0.8 ? pick(names) : pick(pool));
  const dir = () => pick([undefined, undefined, scratch, '/tmp', 'relative', '', ...pool]);
  const quiet = { warn: () => {} };
  const roll = rng();
  if (roll < 0.6) {
    const options = config(rng, pool);
    const target = typeof options === 'object' && options !== null ? options : {};
    try {
      if (rng() < 0.9) target.zone = name();
      if (rng() < 0.5) {
        target.zoneSize = pick([1 << 16, 1 << 17, 1 << 20, 100, -1, 1.5, NaN, 2 ** 70, ...pool]);
      }
      if (rng() < 0.3) target.zoneDir = dir();
      if (rng() < 0.3) target.onError = pick(['local', 'allow', 'deny', 'LOCAL', ...pool]);
      target.logger = rng() < 0.9 ? quiet : pick([{ warn: marker }, {}, ...pool]);
    } catch (error) {
      stats[expectThrown(error, context)] += 1;
      return;
    }
    const built = attempt(() => new VornZoneNode(options), context, stats);
    if (built) {
      assert.ok(built instanceof VornZoneNode);
      instances.push(built);
      if (instances.length > 50) instances.splice(3, 1);
    }
  } else if (roll < 0.8) {
    const stats_ = attempt(() => zoneStats(name(), ...(rng() < 0.3 ? [dir()] : [])), context,
      stats);
    if (stats_) assert.ok(stats_.keys <= stats_.capacity, context);
  } else {
    const removed = attempt(() => removeZone(name(), ...(rng() < 0.3 ? [dir()] : [])), context,
      stats);
    if (removed !== undefined) assert.strictEqual(typeof removed, 'boolean', context);
  }
}

function main() {
  const iterations = Number(process.argv[2] || 20000);
  const seed = Number(process.argv[3] || Math.floor(Math.random() * 2 ** 31));
  const rng = random(seed);
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-hostile-'));
  const pool = values();
  const pick = (list) => list[Math.floor(rng() * list.length)];
  const stats = { returned: 0, coded: 0, option: 0, runtime: 0, marker: 0 };
  const instances = [new VornNode({}), new VornNode({ mode: 'shadow', capacity: 2 }),
    new VornNode({ mode: 'disabled', algorithm: 'leaky_bucket' }),
    new VornZoneNode({ zone: ZONE_NAMES[0], zoneSize: 1 << 20 })];
  const directory = path.dirname(zoneStats(ZONE_NAMES[0]).path);
  const zonesBefore = zoneObjects(directory);
  zonesBefore.delete(ZONE_NAMES[0]);
  const canary = new VornNode({ algorithm: 'fixed_window', capacity: 7, apiKey: 'k' });
  reentrant.push(instances[0]);
  const args = () => {
    const plausible = ['10.0.0.1', '/', '', '\ud800', 'x'.repeat(1000)];
    const slot = (i) => (rng() < 0.7 ? (i < 2 ? pick(plausible) : pick([Date.now(), 0, -1, NaN]))
      : pick(pool));
    const count = rng() < 0.8 ? 3 : Math.floor(rng() * 6);
    return Array.from({ length: count }, (_, i) => slot(i));
  };
  for (let i = 0; i < iterations; i++) {
    const action = Math.floor(rng() * 6);
    const context = `seed ${seed} iteration ${i} action ${action}`;
    if (action === 0) {
      const built = attempt(() => new VornNode(config(rng, pool), pick(pool)), context, stats);
      if (built) {
        assert.ok(built instanceof VornNode);
        instances.push(built);
        if (instances.length > 50) instances.splice(3, 1);
      }
    } else if (action === 1) {
      attempt(() => VornNode(config(rng, pool)), context, stats);  // without new
    } else if (action <= 3) {
      const node = pick(instances);
      const result = attempt(() => node.checkRequest(...args()), context, stats);
      if (result) expectResult(result, context);
    } else if (action === 5) {
      zoneCall(rng, pick, pool, instances, context, stats, scratch);
    } else {
      const receiver = rng() < 0.2 ? pick(instances) : pick(pool);
      const result = attempt(() => VornNode.prototype.checkRequest.call(receiver, ...args()),
        context, stats);
      if (result) expectResult(result, context);
    }
    if (i % 1000 === 0) expectResult(canary.checkRequest(`canary-${i}`, '/', Date.now()), context);
  }
  let admitted = 0;
  for (let i = 0; i < 20; i++) admitted += canary.checkRequest('exact', '/', Date.now()).allowed;
  assert.strictEqual(admitted, 7, 'canary admitted exactly its capacity');
  for (const node of instances) expectResult(node.checkRequest('still', '/', 0), 'after the run');
  // A text of the pools can end up as a zone name: remove the zones this run
  // made, and only those (other programs may make zones meanwhile).
  const texts = new Set([...ZONE_NAMES, ...pool.filter((value) => typeof value === 'string')]);
  for (const name of zoneObjects(directory)) {
    if (!zonesBefore.has(name) && texts.has(name)) removeZone(name);
  }
  fs.rmSync(scratch, { recursive: true });
  console.log(`hostile node: ${iterations} calls (seed ${seed}), ${JSON.stringify(stats)}; ` +
    'every answer documented');
}

main();
