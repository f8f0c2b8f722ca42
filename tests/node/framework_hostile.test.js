'use strict';
// rateLimit and defaultLimit under seeded hostile options and hooks: each
// refuses its options with a TypeError or RangeError, or gives a middleware
// whose answers are documented ones (next(), next(err) with such an error or a
// hook's own, a 429 or 500, or what onRefused did); nothing is thrown out of it
// or from a response event, and no Promise is left rejected.
const test = require('node:test');
const assert = require('node:assert');
const { EventEmitter } = require('node:events');
const { vorn } = require('./framework_package');

const { rateLimit, defaultLimit, createEngine } = vorn;

class Marker extends Error {}
const marker = () => { throw new Marker('hook'); };
const HOOKS = [() => undefined, () => 'user', () => 1, () => -1, () => NaN, () => 2.5, () => '3', () => ({}),
  () => false, () => true, marker, () => Promise.resolve(1)];
const ODD = [undefined, null, 0, -1, NaN, Infinity, '', 'x', '5 per fortnight', '\x1f', 'é'.repeat(150),
  true, {}, [], Symbol('s'), 10n, ...HOOKS];
const OPTIONS = {
  limit: ['2/s', '1/minute', '3/hour; 1/s'], algorithm: ['fixed_window', 'leaky_bucket', 'sliding_window'],
  mode: ['shadow', 'disabled'], key: HOOKS, cost: [...HOOKS, 0, 2], count: [...HOOKS, 'failed', 'successful'],
  enabled: [...HOOKS, false], skip: HOOKS, onRefused: HOOKS, onError: [marker], headers: ['x', null],
  trustedProxies: [['::/0'], ['bogus']], engine: [createEngine({ limit: '1/s' })], shared: ['s'], name: ['n'],
  forwardedHeader: ['forwarded'], ipv6Prefix: [64],
};

function random(seed) {
  let state = seed >>> 0;
  return () => {
    state = (state * 1103515245 + 12345) >>> 0;
    return state / 4294967296;
  };
}

function documented(err, context) {
  assert.ok(err instanceof Marker || err instanceof TypeError || err instanceof RangeError,
    `${context}: ${err && err.stack}`);
}

test('hostile options and hooks get documented answers', async (t) => {
  t.mock.method(console, 'error', () => {});  // hooks' failures, reported without onError
  const seed = Number(process.env.VORN_HOSTILE_SEED || 20261209);
  const rng = random(seed);
  const pick = (list) => list[Math.floor(rng() * list.length)];
  const rejections = [];
  const onRejection = (err) => rejections.push(err);
  process.on('unhandledRejection', onRejection);
  try {
    for (let i = 0; i < 1500; i++) {
      const context = `seed ${seed} iteration ${i}`;
      const options = {};
      for (const [name, values] of Object.entries(OPTIONS)) {
        if (rng() < 0.15) options[name] = rng() < 0.9 ? pick(values) : pick(ODD);
      }
      if (options.engine !== undefined && rng() < 0.9) delete options.limit;
      else if (options.limit === undefined && rng() < 0.8) options.limit = pick(OPTIONS.limit);
      if (rng() < 0.05) options.windowMs = 60000;  // another limiter's option
      let middleware;
      try {
        middleware = (rng() < 0.8 ? rateLimit : defaultLimit)(rng() < 0.05 ? pick(ODD) : options);
      } catch (err) {
        documented(err, context);
        continue;
      }
      for (let call = 0; call < 3; call++) {
        const res = Object.assign(new EventEmitter(), { statusCode: pick([200, 500]),
          setHeader() {}, writeHead(status) { res.status = status; }, end() {} });
        const req = { socket: { remoteAddress: pick(['192.0.2.1', '::1', undefined]) }, headers: {}, url: '/r' };
        const answer = await new Promise((resolve) => {
          // Without next, as node:http calls it: failures are answered 500.
          if (rng() < 0.3) middleware(req, res);
          else middleware(req, res, (err) => resolve(err));
          setImmediate(() => resolve(res.status));
        });
        if (answer instanceof Error) documented(answer, context);
        else assert.ok([undefined, 429, 500].includes(answer), `${context}: ${answer}`);
        res.emit('finish');
      }
    }
    await new Promise((resolve) => setImmediate(resolve));
  } finally {
    process.removeListener('unhandledRejection', onRejection);
  }
  assert.deepStrictEqual(rejections, []);
});
