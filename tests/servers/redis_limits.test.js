'use strict';
// Limits of several rates, costs, refunds and resets on the Node Redis engine
// against a real redis-server: the shared table of rate cases, the native
// engine's results and errors, the keys (the Python engine's too), and the
// fallback while Redis fails.
const assert = require('node:assert');
const { test, before, after } = require('node:test');
const Redis = require('ioredis');
const { RedisServer, haveRedisServer, loadVorn } = require('./redis_support');
const { AHEAD_BASE_MS, readRateCases, told } = require('./rate_cases');

const skip = haveRedisServer ? false : 'redis-server is not installed';
const { VornNode, RedisEngine, keyDigest } = loadVorn();
const TWO_RATES = [[3, 60000], [5, 3600000]];
const ALGORITHMS = ['token_bucket', 'leaky_bucket', 'fixed_window', 'sliding_window'];

let server;
let admin;
const engines = [];
before(async () => {
  if (skip) return;
  server = await new RedisServer().start();
  admin = new Redis(server.port, '127.0.0.1');
});
after(async () => {
  for (const engine of engines) await engine.close();
  if (admin) admin.disconnect();
  if (server) await server.kill();
});

async function engine(config, redis = server.url) {
  // A roomy timeout, so that a loaded machine does not take the engine off Redis.
  const made = new RedisEngine({ redis, redisTimeoutMs: 1000, ...config }, VornNode);
  engines.push(made);
  await made.ready();
  return made;
}

test('the engine answers the rate table', { skip }, async () => {
  let now = 0;
  for (const [number, rateCase] of readRateCases().entries()) {
    const { algorithm, rates } = rateCase;
    const checked = await engine({ algorithm, rates, redisPrefix: `case${number}:`,
      clock: () => now });
    for (const step of rateCase.steps) {
      now = AHEAD_BASE_MS + step.at;
      const where = `${algorithm}, line ${step.line}`;
      if (step.operation === 'check') {
        const result = await checked.checkLimits(step.key, '/', 0, step.cost);
        assert.deepStrictEqual(told(result, checked.policies), step.expected, where);
        assert.strictEqual(result.allowed, step.expected[0] === 'within_limit', where);
      } else {
        assert.strictEqual(await checked[step.operation](step.key, step.cost), undefined, where);
      }
    }
    assert.strictEqual(checked.degraded, false);
  }
});

test('results and errors equal the native engine', { skip }, async () => {
  for (const algorithm of ALGORITHMS) {
    // A bucket's level moves with the clock: quarters keep every verdict, count
    // and rounded message clear of the millisecond the two engines might read apart.
    const costs = algorithm.endsWith('bucket') ? [1, 0.25, 0, 2, 1, 0, 3] : [1, 2, 0, 1, 3, 1, 0];
    for (const mode of ['active', 'shadow', 'disabled']) {
      const config = { algorithm, mode };
      const native = new VornNode(config, TWO_RATES, VornNode.withRates);
      const shared = await engine({ ...config, rates: TWO_RATES,
        redisPrefix: `${algorithm}:${mode}:` });
      assert.deepStrictEqual(shared.policies, native.policies);
      for (const cost of costs) {
        const ours = await shared.checkLimits('10.0.0.1', '/', 0, cost);
        const theirs = native.checkLimits('10.0.0.1', '/', 0, cost);
        const where = `${algorithm} ${mode} ${cost}`;
        assert.deepStrictEqual(Object.keys(ours), Object.keys(theirs), where);
        for (const field of ['allowed', 'wouldBlock', 'reason', 'algorithm', 'debugInfo', 'limit',
          'remaining', 'windowMs', 'policies']) {
          assert.deepStrictEqual(ours[field], theirs[field], `${where} ${field}`);
        }
      }
      const bad = [-1, NaN, Infinity, '2', null, true, 2n, {}];
      if (algorithm.endsWith('window')) bad.push(1.5);
      for (const cost of bad) {
        const errors = [];
        for (const call of [() => native.checkLimits('10.0.0.2', '/', 0, cost),
          () => native.refund('10.0.0.1', cost), () => shared.checkLimits('10.0.0.2', '/', 0, cost),
          () => shared.refund('10.0.0.1', cost)]) {
          try {
            await call();
            errors.push(null);
          } catch (err) {
            errors.push(`${err.constructor.name}: ${err.message}`);
          }
        }
        assert.ok(errors[0] !== null, `${algorithm} ${String(cost)}`);
        assert.deepStrictEqual(errors.slice(2), errors.slice(0, 2), `${algorithm} ${String(cost)}`);
      }
    }
  }
  // Nothing refused was counted, and no key was made for it.
  assert.deepStrictEqual(await admin.keys(`*${keyDigest('10.0.0.2')}`), []);
});

test('keys name the limit as the Python engine does, and other limits stay apart', { skip },
  async () => {
    await admin.flushall();
    await (await engine({ algorithm: 'fixed_window', rates: TWO_RATES }))
      .checkLimits('10.0.0.1', '/', 0, 2);
    await (await engine({ algorithm: 'token_bucket', rates: [[2, 1000], [4, 10000]] }))
      .checkLimits('10.0.0.1', '/', 0, 2);
    const sliding = await engine({ algorithm: 'sliding_window', rates: [[10, 60000]] });
    await sliding.checkLimits('10.0.0.1', '/', 0, 2);
    // A probe's key is of its algorithm and limits, as the Python engine's.
    assert.strictEqual(sliding.limits.probeKey, 'vorn:probe:sw:10:60000');
    // The client's part is the digest of '10.0.0.1', as vorn/redis_engine.py writes it.
    assert.deepStrictEqual((await admin.keys('*9QRzRBIvDe6ZdLpnYeYcaw')).sort(), [
      'vorn:fw:3/60000;5/3600000:9QRzRBIvDe6ZdLpnYeYcaw',
      'vorn:sw:10:60000:9QRzRBIvDe6ZdLpnYeYcaw',  // one rate: the one-rate engine's key
      'vorn:tb:2/1000;4/10000:9QRzRBIvDe6ZdLpnYeYcaw',
    ]);
    const two = await engine({ algorithm: 'sliding_window', rates: TWO_RATES, redisPrefix: 'p:' });
    const one = await engine({ algorithm: 'sliding_window', rates: [[3, 60000]],
      redisPrefix: 'p:' });
    for (let i = 0; i < 3; i++) await two.checkRequest('10.0.0.3', '/', 0);
    assert.strictEqual((await two.checkRequest('10.0.0.3', '/', 0)).allowed, false);
    assert.strictEqual((await one.checkRequest('10.0.0.3', '/', 0)).allowed, true);
  });

test('a refund creates nothing, and a reset forgets every rate', { skip }, async () => {
  for (const algorithm of ALGORITHMS) {
    // On a clock that stands still: a bucket full to the brim would otherwise
    // admit again a millisecond later.
    const checked = await engine({ algorithm, rates: TWO_RATES, redisPrefix: `${algorithm}:`,
      clock: () => AHEAD_BASE_MS });
    await checked.refund('ghost', 2);
    assert.deepStrictEqual(await admin.keys(`${algorithm}:*`), []);
    for (let i = 0; i < 3; i++) await checked.checkRequest('k', '/', 0);
    assert.strictEqual((await checked.checkRequest('k', '/', 0)).allowed, false);
    await checked.refund('k');
    assert.strictEqual((await checked.checkLimits('k', '/', 0)).remaining, 0, algorithm);
    await checked.reset('k');
    assert.deepStrictEqual(await admin.keys(`${algorithm}:*`), []);
    assert.strictEqual((await checked.checkLimits('k', '/', 0, 3)).remaining, 0, algorithm);
  }
});

test('the local engine answers with the same rates while Redis fails', { skip }, async () => {
  const failing = await new RedisServer().start();
  const lines = [];
  const checked = await engine({ algorithm: 'fixed_window', rates: TWO_RATES,
    redisTimeoutMs: 200, redisProbeIntervalMs: 50, logger: { warn: (line) => lines.push(line) } },
  failing.url);
  assert.strictEqual((await checked.checkLimits('k', '/', 0, 2)).remaining, 1);
  await failing.kill();
  const native = new VornNode({ algorithm: 'fixed_window' }, TWO_RATES, VornNode.withRates);
  const answers = [await checked.checkLimits('k', '/', 0, 2)];
  await checked.refund('k', 2);
  answers.push(await checked.checkLimits('k', '/', 0, 3));
  await checked.reset('k');
  answers.push(await checked.checkLimits('k', '/', 0, 1));
  const expected = [native.checkLimits('k', '/', 0, 2)];
  native.refund('k', 2);
  expected.push(native.checkLimits('k', '/', 0, 3));
  native.reset('k');
  expected.push(native.checkLimits('k', '/', 0, 1));
  const figures = ({ allowed, remaining, policies }) => ({ allowed, remaining, policies });
  assert.deepStrictEqual(answers.map(figures), expected.map(figures));
  assert.strictEqual(checked.degraded, true);
  assert.strictEqual(lines.length, 1, lines.join('\n'));
});
