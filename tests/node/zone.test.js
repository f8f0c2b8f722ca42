'use strict';
// VornZoneNode answers as VornNode with its state in a shared zone; removeZone,
// zoneStats, the errors of zones, and how an instance answers and logs while
// its zone cannot be used.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { loadAddon, throwsCoded } = require('./addon.js');

const { VornNode, VornZoneNode, removeZone, zoneStats } = loadAddon();
const STATS_KEYS = ['keys', 'capacity', 'evictions', 'reclaimed', 'recoveries', 'repairs',
  'replacements', 'sizeBytes', 'configs', 'path'];
let counter = 0;
const zonesMade = [];
const dirsMade = [];
// A zone in a directory of the test's own goes with the directory.
function zoneName(zoneDir) {
  const name = `js${process.pid}-${counter++}`;
  if (zoneDir === undefined) zonesMade.push(name);
  return name;
}
// A directory of the test's own, closed to others as zoneDir must be.
function zoneDir() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-zones-'));
  dirsMade.push(dir);
  return dir;
}
test.after(() => {
  zonesMade.forEach((name) => removeZone(name));
  dirsMade.forEach((dir) => fs.rmSync(dir, { recursive: true, force: true }));
});

test('every algorithm and mode answers as VornNode', () => {
  for (const algorithm of ['token_bucket', 'sliding_window', 'fixed_window', 'leaky_bucket', 'x']) {
    for (const mode of ['active', 'shadow', 'disabled']) {
      // No refill or leak: the two instances read the clock apart.
      const config = { algorithm, mode, capacity: 3, refillRate: 0 };
      const local = new VornNode(config);
      const shared = new VornZoneNode({ ...config, zone: zoneName(), zoneSize: 1 << 20 });
      for (let step = 0; step < 8; step++) {
        for (const ip of ['10.0.0.1', '::1', '']) {
          assert.deepStrictEqual(shared.checkRequest(ip, '/', Date.now()),
            local.checkRequest(ip, '/', Date.now()), `${algorithm} ${mode} ${step} ${ip}`);
        }
      }
    }
  }
});

test('instances naming one zone share it; stats and removal in a directory of ones own', () => {
  const dir = zoneDir();
  const zone = zoneName(dir);
  const config = { zone, zoneDir: dir, capacity: 2, refillRate: 0 };
  const first = new VornZoneNode({ ...config, zoneSize: 1 << 20 });
  const second = new VornZoneNode(config);
  assert.strictEqual(first.checkRequest('a', '/', Date.now()).allowed, true);
  assert.strictEqual(second.checkRequest('a', '/', Date.now()).allowed, true);
  assert.strictEqual(first.checkRequest('a', '/', Date.now()).allowed, false);
  const stats = zoneStats(zone, dir);
  assert.deepStrictEqual(Object.keys(stats), STATS_KEYS);
  assert.deepStrictEqual(first.zoneStats(), stats);
  assert.deepStrictEqual([stats.keys, stats.sizeBytes, stats.configs], [1, 1 << 20, 1]);
  assert.strictEqual(path.dirname(stats.path), dir);
  // The same name elsewhere is another zone.
  assert.throws(() => zoneStats(zone, zoneDir()), { code: 'ZoneError' });
  assert.strictEqual(removeZone(zone, dir), true);
  assert.strictEqual(removeZone(zone, dir), false);
  throwsCoded(assert, () => zoneStats(zone, dir), 'ZoneError', `zone '${zone}': does not exist`);
  assert.strictEqual(second.checkRequest('b', '/', Date.now()).allowed, true);
});

test('bad names, places, sizes and configs', () => {
  const nameRule = "invalid zone name: use 1 to 64 characters from A-Z, a-z, 0-9, '_', '.', '-'";
  for (const bad of ['', 'a/b', 'x'.repeat(65), 'é']) {
    throwsCoded(assert, () => removeZone(bad), 'InvalidArg', nameRule, bad);
    throwsCoded(assert, () => zoneStats(bad), 'InvalidArg', nameRule, bad);
    throwsCoded(assert, () => new VornZoneNode({ zone: bad }), 'InvalidArg', nameRule, bad);
  }
  throwsCoded(assert, () => removeZone(7), 'InvalidArg',
    'Failed to convert JavaScript value `Number 7 ` into rust type `String`');
  throwsCoded(assert, () => zoneStats('z', null), 'InvalidArg',
    'Failed to convert JavaScript value `Null` into rust type `String`');
  assert.throws(() => new VornZoneNode({}), { code: 'InvalidArg', message: /Missing field `zone`/ });
  throwsCoded(assert, () => new VornZoneNode({ zone: 'z', capacity: '1' }), 'NumberExpected',
    'Failed to convert napi value String into rust type `f64` on NodeConfig.capacity');
  throwsCoded(assert, () => new VornZoneNode({ zone: 'z', zoneDir: 1 }), 'StringExpected',
    'Failed to convert JavaScript value `Number 1 ` into rust type `String` on NodeConfig.zoneDir');
  const shared = zoneDir();
  fs.chmodSync(shared, 0o777);
  for (const call of [() => new VornZoneNode({ zone: 'z', zoneDir: shared }),
    () => zoneStats('z', shared), () => removeZone('z', shared)]) {
    assert.throws(call, (err) => err.code === 'ZoneError' && err.message.includes(shared));
  }
  const zone = zoneName();
  throwsCoded(assert, () => new VornZoneNode({ zone, zoneSize: 1000 }), 'ZoneError',
    `zone '${zone}': too small: 1000 bytes, at least 131072`);
  for (const zoneSize of [NaN, Infinity, -Infinity]) {
    assert.throws(() => new VornZoneNode({ zone, zoneSize }), {
      name: 'RangeError', message: `zoneSize must be a whole number of bytes, not ${zoneSize}`,
    });
  }
  assert.throws(() => new VornZoneNode({ zone, logger: { warn: 'loud' } }), {
    name: 'TypeError', message: 'logger must be an object with a warn method, not [object Object]',
  });
  throwsCoded(assert, () => VornZoneNode({ zone }), 'InvalidArg',
    "Class constructor VornZoneNode cannot be invoked without 'new'");
});

test('the zone members refuse a receiver that is not a VornZoneNode', () => {
  const members = Object.getOwnPropertyDescriptors(VornZoneNode.prototype);
  for (const read of [members.degraded.get, members.degradedReason.get, members.zoneStats.value]) {
    for (const receiver of [new VornNode({}), {}, undefined]) {
      throwsCoded(assert, () => read.call(receiver), 'InvalidArg',
        'Failed to unwrap exclusive reference of `VornZoneNode` type from napi value');
    }
  }
});

// An instance whose zone file is then cut off under it, with a logger that keeps lines.
function broken(onError, extra = {}) {
  const dir = zoneDir();
  const lines = [];
  const node = new VornZoneNode({
    zone: zoneName(dir), zoneDir: dir, zoneSize: 1 << 20, capacity: 1, refillRate: 0, onError,
    logger: { warn: (line) => lines.push(line) }, ...extra,
  });
  assert.strictEqual(node.checkRequest('a', '/', Date.now()).allowed, true);
  assert.deepStrictEqual([node.degraded, node.degradedReason], [false, null]);
  fs.truncateSync(node.zoneStats().path, 0);
  return { node, lines };
}

test('each policy answers while degraded, and the change goes to the logger', () => {
  // [policy, allowed, remaining] of the checks after the cut; 'local' is a
  // fresh in-process bucket of the same capacity.
  const cases = [['local', [true, false], [0, 0]], ['allow', [true, true], [null, null]],
    ['deny', [false, false], [0, 0]]];
  for (const [onError, allowed, remaining] of cases) {
    const { node, lines } = broken(onError);
    const results = allowed.map(() => node.checkLimits('a', '/', Date.now()));
    assert.deepStrictEqual(results.map((r) => r.allowed), allowed, onError);
    assert.deepStrictEqual(results.map((r) => r.remaining), remaining, onError);
    assert.strictEqual(node.degraded, true, onError);
    assert.match(node.degradedReason, /truncated/, onError);
    assert.strictEqual(node.zoneStats(), null, onError);
    assert.strictEqual(lines.length, 1, onError);
    assert.match(lines[0], /cannot be used/, onError);
  }
});

test('a logger that throws never fails the check: the line goes to process.emitWarning', (t) => {
  const { node } = broken('allow', { logger: { warn() { throw new Error('logger down'); } } });
  const emitted = [];
  t.mock.method(process, 'emitWarning', (line) => emitted.push(line));
  assert.strictEqual(node.checkRequest('a', '/', Date.now()).allowed, true);
  assert.strictEqual(emitted.length, 1);
  assert.match(emitted[0], /cannot be used/);
});

test('the default logger is the console, and construction logs a damaged zone replaced', (t) => {
  const dir = zoneDir();
  const zone = zoneName(dir);
  const file = new VornZoneNode({ zone, zoneDir: dir, zoneSize: 1 << 20 }).zoneStats().path;
  removeZone(zone, dir);
  fs.writeFileSync(file, Buffer.alloc(8192, 'X'), { mode: 0o600 });
  const warned = t.mock.method(console, 'warn', () => {});
  const node = new VornZoneNode({ zone, zoneDir: dir });
  assert.strictEqual(warned.mock.callCount(), 1);
  assert.match(warned.mock.calls[0].arguments[0], /replaced by a fresh one/);
  assert.strictEqual(node.zoneStats().replacements, 1);
});
