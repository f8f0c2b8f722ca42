'use strict';
// The package's zone layer (js/index.js): createEngine picks the engine class
// by config.zone, createRateLimiter builds its engine through it, and
// removeZone / zoneStats reach the addon. index.js is loaded from a copy laid
// out as the packed package, with the built addon beside it.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { inspect } = require('node:util');
const { addonPath, repoRoot } = require('./addon');
// Shared with the Python suite, which checks the same values.
const OPTION_CASES = require('./zone_arguments.json');

function loadPackage() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-package-'));
  for (const name of fs.readdirSync(path.join(repoRoot, 'js'))) {
    if (name.endsWith('.js')) fs.copyFileSync(path.join(repoRoot, 'js', name), path.join(dir, name));
  }
  fs.symlinkSync(addonPath, path.join(dir, 'vorn_native.node'));
  try {
    return require(path.join(dir, 'index.js'));
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

const vorn = loadPackage();
const zone = `vorn-test-${process.pid}-package`;

function request() {
  return { socket: { remoteAddress: '192.0.2.1' }, headers: {}, url: '/items' };
}

function status(limiter) {
  const res = { writeHead(code) { this.status = code; }, end() {} };
  let passed = false;
  limiter(request(), res, () => { passed = true; });
  return passed ? 200 : res.status;
}

test('createEngine and createRateLimiter put engines naming one zone on shared clients', (t) => {
  vorn.removeZone(zone);
  t.after(() => vorn.removeZone(zone));
  const config = { capacity: 2, refillRate: 0 };
  assert.strictEqual(Object.getPrototypeOf(vorn.createEngine(config)), vorn.VornNode.prototype);
  const engine = vorn.createEngine({ ...config, zone });
  assert.strictEqual(Object.getPrototypeOf(engine), vorn.VornZoneNode.prototype);
  const limiters = [1, 2].map(() => vorn.createRateLimiter({ config: { ...config, zone } }));
  const inProcess = vorn.createRateLimiter({ config });
  assert.deepStrictEqual([limiters[0], limiters[1], limiters[0], inProcess].map(status),
    [200, 200, 429, 200]);
  assert.strictEqual(engine.checkRequest('192.0.2.1', '/', Date.now()).allowed, false);
  assert.strictEqual(vorn.zoneStats(zone).keys, 1);
});

test('zoneSize sizes a new zone; it and zoneDir need a zone', (t) => {
  vorn.removeZone(zone);
  t.after(() => vorn.removeZone(zone));
  vorn.createEngine({ zone, zoneSize: 1 << 20 });
  assert.strictEqual(vorn.zoneStats(zone).sizeBytes, 1 << 20);
  assert.throws(() => vorn.createEngine({ zoneSize: 1 << 20 }),
    { name: 'TypeError', message: 'createEngine: zoneSize needs a zone' });
  assert.throws(() => vorn.createEngine({ zoneDir: '/tmp' }),
    { name: 'TypeError', message: 'createEngine: zoneDir needs a zone' });
});

test('wrong zone and redis options are named as given', () => {
  const texts = {
    zone_size: ['zoneSize', 'zoneSize must be a whole number of bytes, not'],
    on_error: ['onError', "onError must be 'local', 'allow' or 'deny', not"],
  };
  for (const [option, [property, text]] of Object.entries(texts)) {
    for (const { value, node } of OPTION_CASES[option]) {
      assert.throws(() => vorn.createEngine({ zone: 'never-made', [property]: value }),
        (err) => {
          assert.strictEqual(err.constructor.name, node, `${property} ${value}`);
          assert.strictEqual(err.message, `${text} ${value}`);
          return true;
        });
    }
  }
  for (const { value } of OPTION_CASES.redis) {
    assert.throws(() => vorn.createEngine({ redis: value }), {
      name: 'TypeError',
      message: 'createEngine: redis must be a Redis URL (redis://, rediss://, redis+cluster://, ' +
        `redis+sentinel://) or an ioredis client, not ${inspect(value)}`,
    });
  }
  assert.strictEqual(vorn.removeZone('never-made'), false);
});

test('removeZone says whether there was a zone; zoneStats of a missing one throws ZoneError', () => {
  vorn.createEngine({ zone });
  assert.strictEqual(vorn.removeZone(zone), true);
  assert.strictEqual(vorn.removeZone(zone), false);
  assert.throws(() => vorn.zoneStats(zone), { code: 'ZoneError' });
});
