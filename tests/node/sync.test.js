'use strict';
// createEngine with syncMs (js/sync_engine.js): the options it refuses, the
// native reports it sends and its turns to send them, checks
// that answer at once as the in-process engine does, engines on one Redis that
// share one limit, a reset every engine sees, a Redis that goes away and comes
// back, and a process that ends without closing its engine. The package is a
// copy laid out as packed, with the addon under test beside it.
const test = require('node:test');
const assert = require('node:assert');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { addonPath, repoRoot } = require('./addon');
const { RedisServer, haveRedisServer } = require('../servers/redis_support');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-sync-'));
process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
for (const sub of ['js', 'lua']) {
  fs.mkdirSync(path.join(dir, sub));
  for (const name of fs.readdirSync(path.join(repoRoot, sub))) {
    fs.copyFileSync(path.join(repoRoot, sub, name), path.join(dir, sub, name));
  }
}
fs.symlinkSync(addonPath, path.join(dir, 'js', 'vorn_native.node'));
fs.symlinkSync(path.join(repoRoot, 'node_modules'), path.join(dir, 'node_modules'));
const vorn = require(path.join(dir, 'js', 'index.js'));
const { keyDigest } = require(path.join(dir, 'js', 'redis_core.js'));

const ALGORITHMS = ['token_bucket', 'fixed_window', 'leaky_bucket'];
// Nothing refills within a test's time.
const LIMIT = '30/hour';
const quiet = { warn() {} };

test('options are refused when the engine is declared, naming the option', () => {
  const base = { limit: LIMIT, redis: 'redis://127.0.0.1:1/0', syncMs: 100 };
  const cases = [
    [{ algorithm: 'sliding_window' }, /sync works with token_bucket, fixed_window and leaky_bucket/],
    [{ syncMs: 0 }, /syncMs must be a finite number > 0, not 0/],
    [{ syncMs: '100' }, /syncMs must be a finite number > 0, not 100/],
    [{ maxOvershoot: 1.5 }, /maxOvershoot must be a number from 0 to 1, not 1.5/],
    [{ syncMs: undefined, maxOvershoot: 0.1 }, /maxOvershoot needs syncMs/],
    [{ redis: undefined }, /syncMs needs redis/],
    [{ onError: 'allow' }, /onError does not go with syncMs/],
    [{ zone: 'z', onError: 'local' }, /onError does not go with syncMs/],
    [{ zoneSize: 1 << 20 }, /zoneSize needs a zone/],
    [{ zoneDir: '/tmp' }, /zoneDir needs a zone/],
    [{ zone: 'z', redis: undefined }, /syncMs needs redis/],
    [{ limit: undefined }, /syncMs needs a limit/],
    [{ redis: 42 }, /redis must be a Redis URL/],
    [{ mode: 'Shadow' }, /unknown mode "Shadow"/],
  ];
  for (const [change, message] of cases) {
    assert.throws(() => vorn.createEngine({ ...base, ...change }), message, JSON.stringify(change));
  }
});

// Reports name their keys as the Redis engines' keys end; every turn is this
// process's without a zone.
test('native reports and turns', () => {
  const { VornNode } = vorn;
  for (const key of ['client-1', 'caf\u00e9 \u5ba2\u6237 \u{1f600}']) {
    const native = new VornNode({}, [[1000, 60000]], VornNode.withRates,
      { maxOvershoot: 0.02, intervalMs: 100 });
    assert.strictEqual(VornNode.syncTurn(native), true);
    native.checkRequest(key, '/', Date.now());
    const [[digest]] = VornNode.syncReports(native, false);
    assert.strictEqual(digest, keyDigest(key), key);
    assert.strictEqual(digest.length, 22);
    assert.strictEqual(VornNode.syncTurn(native), true);
  }
});

test('a zone with syncMs makes a synced engine on it', async () => {
  const zoneDir = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-sync-zone-'));
  fs.chmodSync(zoneDir, 0o700);
  try {
    const engine = vorn.createEngine({ limit: LIMIT, redis: 'redis://127.0.0.1:1/0', syncMs: 100000,
      redisTimeoutMs: 100, zone: 'zonesync', zoneDir, logger: quiet });
    assert.strictEqual(engine.checkRequest('k', '/', Date.now()).allowed, true);
    assert.strictEqual(vorn.VornNode.syncTurn(engine.native), true);  // the only process
    // The machine's table of keys, beside the zone.
    assert.ok(fs.readdirSync(zoneDir).some((name) => name.startsWith('vorn.zonesync.sync-')),
      fs.readdirSync(zoneDir).join(' '));
    await engine.close();
  } finally {
    fs.rmSync(zoneDir, { recursive: true, force: true });
  }
});

test('against a real Redis', { skip: !haveRedisServer && 'needs redis-server' }, async (t) => {
  const server = await new RedisServer().start();
  t.after(() => server.kill());
  const open = [];
  t.after(() => Promise.all(open.map((engine) => engine.close())));
  const engine = async (config = {}) => {
    const made = vorn.createEngine({ limit: LIMIT, redis: server.url, syncMs: 100,
      redisPrefix: `t${open.length}:`, logger: quiet, ...config });
    open.push(made);
    await made.ready();
    return made;
  };
  let prefixes = 0;
  const shared = () => `shared${prefixes++}:`;
  // What is left of `key` for `engine` as Redis has it: a key an engine has
  // not asked for is fetched at its next sync.
  const remainingOf = async (synced, key) => {
    synced.checkLimits(key, '/', Date.now(), 0);
    await synced.sync();
    return synced.checkLimits(key, '/', Date.now(), 0).remaining;
  };

  await t.test('checks are plain calls answered as the in-process engine answers', async () => {
    for (const algorithm of ALGORITHMS) {
      const synced = await engine({ algorithm });
      const local = vorn.createEngine({ limit: LIMIT, algorithm });
      // The first check of a key is admitted on credit, the next ones once
      // a sync has brought a lease.
      for (let i = 0; i < 3; i++) {
        const answer = synced.checkRequest('k', '/', Date.now());
        assert.ok(!(answer instanceof Promise));
        assert.deepStrictEqual(answer, local.checkRequest('k', '/', Date.now()), algorithm);
        await synced.sync();
      }
      // The full reset is counted from each one's own clock reading.
      const { resetAfterMs: syncedReset, ...told } = synced.checkLimits('k', '/', Date.now(), 0);
      const { resetAfterMs: localReset, ...expected } = local.checkLimits('k', '/', Date.now(), 0);
      assert.deepStrictEqual(told, expected, algorithm);
      assert.ok(Math.abs(syncedReset - localReset) < 1000, `${syncedReset} ${localReset}`);
      assert.deepStrictEqual(synced.policies, local.policies);
    }
  });

  await t.test('engines on one Redis share one limit, and close gives leases back', async () => {
    for (const algorithm of ALGORITHMS) {
      const redisPrefix = shared();
      const engines = await Promise.all([1, 2, 3].map(() => engine({ algorithm, redisPrefix })));
      let admitted = 0;
      for (let round = 0; round < 12; round++) {
        for (const each of engines) {
          for (let i = 0; i < 4; i++) admitted += each.checkRequest('k', '/', Date.now()).allowed;
        }
        await Promise.all(engines.map((each) => each.sync()));
      }
      // At most one credit per engine past the limit, and nothing lost to leases.
      assert.ok(admitted >= 30 && admitted <= 33, `${algorithm}: ${admitted} admitted`);
      await Promise.all(engines.map((each) => each.close()));
      const after = await engine({ algorithm, redisPrefix });
      assert.strictEqual(await remainingOf(after, 'k'), 0, algorithm);
      assert.strictEqual(await remainingOf(after, 'other'), 30, algorithm);
      // The lease an engine held unspent when it closed comes back.
      const second = shared();
      const [first, later] = [await engine({ algorithm, redisPrefix: second }),
        await engine({ algorithm, redisPrefix: second })];
      let spent = 0;
      for (let i = 0; i < 6; i++) spent += first.checkRequest('k', '/', Date.now()).allowed;
      await first.sync();
      for (let i = 0; i < 3; i++) spent += first.checkRequest('k', '/', Date.now()).allowed;
      await first.close();
      assert.strictEqual(await remainingOf(later, 'k'), 30 - spent, algorithm);
    }
  });

  await t.test('a reset is seen by every engine at its next sync', async () => {
    const redisPrefix = shared();
    const [one, two] = [await engine({ redisPrefix }), await engine({ redisPrefix })];
    for (let round = 0; round < 4; round++) {
      for (let i = 0; i < 20; i++) one.checkRequest('k', '/', Date.now());
      await one.sync();
    }
    assert.strictEqual(await remainingOf(two, 'k'), 0);
    assert.strictEqual(two.checkRequest('k', '/', Date.now()).allowed, false);
    one.reset('k');
    await one.sync();
    assert.strictEqual(await remainingOf(two, 'k'), 30);
  });

  await t.test('without Redis each engine limits alone, and Redis gets its admissions back', async () => {
    const warnings = [];
    const logger = { warn: (line) => warnings.push(line) };
    const alone = await engine({ logger, redisPrefix: shared() });
    await server.kill();
    await alone.sync();
    assert.strictEqual(alone.degraded, true);
    assert.strictEqual(alone.stats().degraded, true);
    let admitted = 0;
    for (let i = 0; i < 40; i++) admitted += alone.checkRequest('k', '/', Date.now()).allowed;
    assert.strictEqual(admitted, 30);
    await server.start();
    for (let tries = 0; tries < 100 && alone.degraded; tries++) await alone.sync();
    assert.strictEqual(alone.degraded, false);
    assert.strictEqual(warnings.length, 2, warnings.join('\n'));
    assert.match(warnings[0], /failed .*each process limits alone/);
    const fresh = await engine({ redisPrefix: alone.prefix });
    assert.strictEqual(await remainingOf(fresh, 'k'), 0);
  });

  await t.test('a process ends without closing its engine, Redis there or not', () => {
    for (const url of [server.url, 'redis://127.0.0.1:1/0']) {
      const script = `const vorn = require(${JSON.stringify(path.join(dir, 'js', 'index.js'))});
        const engine = vorn.createEngine({ limit: '5/second', redis: ${JSON.stringify(url)},
          syncMs: 50, logger: { warn() {} } });
        engine.ready().then(() => { process.stdout.write(String(engine.checkRequest('k', '/', 0).allowed)); });`;
      const child = spawnSync(process.execPath, ['-e', script], { timeout: 30000, encoding: 'utf8' });
      assert.strictEqual(child.signal, null, `${url}: still running after 30 s`);
      assert.strictEqual(child.status, 0, child.stderr);
      assert.strictEqual(child.stdout, 'true');
    }
  });
});
