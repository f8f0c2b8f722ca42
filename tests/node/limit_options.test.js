'use strict';
// createEngine's limit and windowMs (js/index.js): the engines they build in
// process and in a zone, the options they refuse, and the fields the middleware
// sends for them. index.js is loaded from a copy laid out as the packed
// package, with the built addon beside it.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { addonPath, repoRoot } = require('./addon');

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
const zone = `vorn-test-${process.pid}-limits`;
const ALGORITHMS = ['token_bucket', 'sliding_window', 'fixed_window', 'leaky_bucket'];

test('without limit or windowMs the engine is as before', (t) => {
  vorn.removeZone(zone);
  t.after(() => vorn.removeZone(zone));
  for (const engine of [vorn.createEngine(), vorn.createEngine({ zone })]) {
    const result = engine.checkLimits('192.0.2.1', '/', Date.now());
    assert.deepStrictEqual([result.limit, result.windowMs, result.remaining], [100, 10000, 99]);
    assert.ok(!('policies' in result));
  }
});

test('a limit text makes one decision of every rate', (t) => {
  vorn.removeZone(zone);
  t.after(() => vorn.removeZone(zone));
  for (const algorithm of ALGORITHMS) {
    for (const where of [{}, { zone }]) {
      const label = `${algorithm} ${JSON.stringify(where)}`;
      const key = `192.0.2.${Object.keys(where).length}`;
      const engine = vorn.createEngine({ algorithm, limit: '3/hour; 2/minute', ...where });
      assert.deepStrictEqual(engine.policies.map((policy) => policy.limit), [3, 2], label);
      const answers = [0, 1, 2, 3].map(() => engine.checkLimits(key, '/', Date.now()));
      const admitted = answers.filter((result) => result.allowed).length;
      // A leaky bucket admits while its level is below the limit: once more when any time passed.
      assert.ok(algorithm === 'leaky_bucket' ? [2, 3].includes(admitted) : admitted === 2, label);
      const refused = answers[3];
      assert.strictEqual(refused.allowed, false, label);
      assert.strictEqual(refused.limit, 2, label);  // the minute refuses
      assert.deepStrictEqual(refused.policies, engine.policies, label);
      engine.refund(key);
      assert.strictEqual(engine.checkLimits(key, '/', Date.now()).allowed, true, label);
      engine.reset(key);
      assert.strictEqual(engine.checkLimits(key, '/', Date.now(), 0).remaining, 2, label);
    }
  }
});

test('windowMs with a capacity is one rate of that window', (t) => {
  vorn.removeZone(zone);
  t.after(() => vorn.removeZone(zone));
  const engine = vorn.createEngine({ algorithm: 'fixed_window', capacity: 2, windowMs: 500 });
  assert.deepStrictEqual(engine.policies, [{ limit: 2, windowMs: 500 }]);
  const result = engine.checkLimits('192.0.2.1', '/', Date.now());
  assert.deepStrictEqual([result.limit, result.windowMs], [2, 500]);
  assert.ok(!('policies' in result));
  const zoned = vorn.createEngine({ algorithm: 'sliding_window', windowMs: 60000, zone });
  assert.strictEqual(Object.getPrototypeOf(zoned), vorn.VornZoneNode.prototype);
  assert.deepStrictEqual(zoned.policies, [{ limit: 100, windowMs: 60000 }]);
});

test('conflicting and bad options are refused before any engine', () => {
  const refused = [
    [TypeError, 'give a limit or capacity', { limit: '1/s', capacity: 5 }],
    [TypeError, 'give a limit or refillRate', { limit: '1/s', refillRate: 5 }],
    [TypeError, 'give a limit or windowMs', { limit: '1/s', windowMs: 1000 }],
    [TypeError, 'give windowMs or refillRate', { windowMs: 1000, refillRate: 1 }],
    [TypeError, 'must be a string', { limit: 10 }],
    [TypeError, 'unknown unit "week"', { limit: '10/week' }],
    [RangeError, '366 days', { windowMs: 0.4 }],
    [RangeError, '366 days', { windowMs: 31622400001 }],
    [TypeError, 'number of milliseconds', { windowMs: '60000' }],
    [RangeError, 'capacity must be a finite number', { windowMs: 1000, capacity: -1 }],
    [TypeError, 'capacity must be a number', { windowMs: 1000, capacity: '5' }],
  ];
  for (const [error, message, options] of refused) {
    for (const where of [{}, { zone: 'never-made' }, { redis: 'redis://localhost:1' }]) {
      assert.throws(() => vorn.createEngine({ ...options, ...where }), (err) => {
        assert.strictEqual(err.constructor, error, message);
        assert.ok(err.message.includes(message), err.message);
        return true;
      });
    }
  }
});

test('the draft fields list every rate, through createRateLimiter\'s config', () => {
  const limit = vorn.createRateLimiter({ config: { algorithm: 'fixed_window', limit: '2/minute; 3/hour' } });
  const answers = [0, 1, 2].map(() => {
    const res = {
      fields: {},
      setHeader(name, value) { this.fields[name] = value; },
      writeHead(status, headers) { this.status = status; Object.assign(this.fields, headers); },
      end() {},
    };
    let passed = false;
    limit({ socket: { remoteAddress: '192.0.2.1' }, headers: {}, url: '/' }, res, () => { passed = true; });
    return [passed ? 200 : res.status, res.fields['RateLimit-Policy'], res.fields.RateLimit.split(';').slice(0, 2)];
  });
  const policy = '"default-1m";q=2;w=60, "default-1h";q=3;w=3600';
  assert.deepStrictEqual(answers, [[200, policy, ['"default-1m"', 'r=1']],
    [200, policy, ['"default-1m"', 'r=0']], [429, policy, ['"default-1m"', 'r=0']]]);
});
