'use strict';
// VornZoneNode answers as VornNode with its state in a shared zone; removeZone,
// zoneStats and the errors of zones.
const test = require('node:test');
const assert = require('node:assert');
const { loadAddon, throwsCoded } = require('./addon.js');

const { VornNode, VornZoneNode, removeZone, zoneStats } = loadAddon();
let counter = 0;
const names = [];
function zoneName() {
  const name = `js${process.pid}-${counter++}`;
  names.push(name);
  return name;
}
test.after(() => names.forEach((name) => removeZone(name)));

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

test('instances naming one zone share it; stats and removal', () => {
  const zone = zoneName();
  const first = new VornZoneNode({ zone, zoneSize: 1 << 20, capacity: 2, refillRate: 0 });
  const second = new VornZoneNode({ zone, capacity: 2, refillRate: 0 });
  assert.strictEqual(first.checkRequest('a', '/', Date.now()).allowed, true);
  assert.strictEqual(second.checkRequest('a', '/', Date.now()).allowed, true);
  assert.strictEqual(first.checkRequest('a', '/', Date.now()).allowed, false);
  const stats = zoneStats(zone);
  assert.deepStrictEqual(Object.keys(stats),
    ['keys', 'capacity', 'evictions', 'reclaimed', 'recoveries', 'sizeBytes', 'configs']);
  assert.deepStrictEqual([stats.keys, stats.sizeBytes, stats.configs], [1, 1 << 20, 1]);
  assert.strictEqual(removeZone(zone), true);
  assert.strictEqual(removeZone(zone), false);
  assert.strictEqual(second.checkRequest('b', '/', Date.now()).allowed, true);
  throwsCoded(assert, () => zoneStats(zone), 'ZoneError', `zone '${zone}': does not exist`);
});

test('bad names, sizes and configs', () => {
  const nameRule = "invalid zone name: use 1 to 64 characters from A-Z, a-z, 0-9, '_', '.', '-'";
  for (const bad of ['', 'a/b', 'x'.repeat(65), 'é']) {
    throwsCoded(assert, () => removeZone(bad), 'InvalidArg', nameRule, bad);
    throwsCoded(assert, () => zoneStats(bad), 'InvalidArg', nameRule, bad);
    throwsCoded(assert, () => new VornZoneNode({ zone: bad }), 'InvalidArg', nameRule, bad);
  }
  throwsCoded(assert, () => removeZone(7), 'InvalidArg',
    'Failed to convert JavaScript value `Number 7 ` into rust type `String`');
  assert.throws(() => new VornZoneNode({}), { code: 'InvalidArg', message: /Missing field `zone`/ });
  throwsCoded(assert, () => new VornZoneNode({ zone: 'z', capacity: '1' }), 'NumberExpected',
    'Failed to convert napi value String into rust type `f64` on NodeConfig.capacity');
  throwsCoded(assert, () => new VornZoneNode({ zone: 'z', zoneSize: '1' }), 'NumberExpected',
    'Failed to convert napi value String into rust type `f64` on NodeConfig.zoneSize');
  const zone = zoneName();
  throwsCoded(assert, () => new VornZoneNode({ zone, zoneSize: 1000 }), 'ZoneError',
    `zone '${zone}': too small: 1000 bytes, at least 65536`);
  throwsCoded(assert, () => new VornZoneNode({ zone, zoneSize: -1 }), 'ZoneError',
    `zone '${zone}': too small: 0 bytes, at least 65536`);
  throwsCoded(assert, () => VornZoneNode({ zone }), 'InvalidArg',
    "Class constructor VornZoneNode cannot be invoked without 'new'");
});
