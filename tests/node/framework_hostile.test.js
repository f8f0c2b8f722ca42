'use strict';
// rateLimit and defaultLimit under hostile options and hooks, from a seeded
// generator: each either refuses its options with a TypeError or RangeError, or
// gives a middleware whose every answer is a documented one (next(), next(err),
// a 429 or 500, or what onRefused did), with nothing thrown out of it or left as an
// unhandled rejection, and no hook's failure escaping from a response event.
const test = require('node:test');
const assert = require('node:assert');
const { EventEmitter } = require('node:events');
const { repoRoot } = require('./addon');

const { rateLimit, defaultLimit, createEngine } = require(repoRoot);

const ITERATIONS = 1500;

function random(seed) {
  let state = seed >>> 0;
  return () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

class Marker extends Error {}
const marker = () => { throw new Marker('hook'); };
const later = (value) => () => Promise.resolve(value);
const VALUES = [undefined, null, 0, -1, 1, 0.5, NaN, Infinity, 2 ** 60, '', 'x', '5/minute', '1/s',
  '10/5m; 100/h', '0/s', '5 per fortnight', '\x1f', 'é'.repeat(150), true, false, {}, [], ['GET'],
  Symbol('s'), 10n, () => undefined, () => 'user', () => 1, () => -1, () => NaN, () => 2.5, () => '3',
  () => ({}), () => false, () => true, marker, later(1), later('k')];
const OPTIONS = ['limit', 'algorithm', 'mode', 'key', 'cost', 'count', 'enabled', 'skip', 'onRefused',
  'onError', 'headers', 'trustedProxies', 'engine', 'shared', 'name', 'forwardedHeader', 'ipv6Prefix'];
const HOOKS = VALUES.filter((value) => typeof value === 'function');
const PLAUSIBLE = { key: HOOKS, cost: [...HOOKS, 0, 1, 2], count: [...HOOKS, 'failed', 'successful', 'all'],
  skip: HOOKS, onRefused: HOOKS, onError: [marker, () => undefined], enabled: [...HOOKS, true, false], limit: ['2/s', '1/minute', '3/hour; 1/s'], algorithm: ['fixed_window', 'leaky_bucket', 'sliding_window'],
  mode: ['shadow', 'disabled', 'active'], headers: ['x', 'legacy', null],
  trustedProxies: [['127.0.0.1'], ['::/0'], ['bogus']], engine: [createEngine({ limit: '1/s' })] };

function response(rng) {
  const res = new EventEmitter();
  res.statusCode = rng() < 0.5 ? 200 : 500;
  res.fields = {};
  res.setHeader = (name, value) => { res.fields[name] = value; };
  res.writeHead = (status) => { res.status = status; };
  res.end = () => { res.ended = true; };
  return res;
}

function documentedError(err, context) {
  if (err instanceof Marker) return;
  assert.ok(err instanceof TypeError || err instanceof RangeError, `${context}: ${err && err.stack}`);
}

test('hostile options and hooks get documented answers', async (t) => {
  t.mock.method(console, 'error', () => {});  // hooks' failures reported without onError
  const seed = Number(process.env.VORN_HOSTILE_SEED || 20261209);
  const rng = random(seed);
  const pick = (list) => list[Math.floor(rng() * list.length)];
  const rejections = [];
  const onRejection = (err) => rejections.push(err);
  process.on('unhandledRejection', onRejection);
  const escaped = [];
  try {
    for (let i = 0; i < ITERATIONS; i++) {
      const context = `seed ${seed} iteration ${i}`;
      const options = {};
      for (const name of OPTIONS) {
        if (rng() < 0.15) options[name] = PLAUSIBLE[name] && rng() < 0.9 ? pick(PLAUSIBLE[name]) : pick(VALUES);
      }
      if (rng() < 0.05) options.windowMs = 60000;  // another limiter's option
      if (options.engine !== undefined && rng() < 0.9) delete options.limit;
      else if (rng() < 0.8) options.limit = pick(PLAUSIBLE.limit);
      let middleware;
      try {
        middleware = (rng() < 0.8 ? rateLimit : defaultLimit)(rng() < 0.1 ? pick(VALUES) : options);
      } catch (err) {
        documentedError(err, context);
        continue;
      }
      for (let call = 0; call < 3; call++) {
        const req = { socket: { remoteAddress: pick(['192.0.2.1', '::1', undefined]) }, headers: {},
          url: '/r', method: 'GET' };
        const res = response(rng);
        const outcome = new Promise((resolve) => {
          try {
            // Without next, as node:http calls it: failures are answered 500.
            if (rng() < 0.3) middleware(req, res);
            else middleware(req, res, (err) => resolve(err === undefined ? 'next' : err));
          } catch (err) {
            escaped.push([context, err]);
          }
          setImmediate(() => resolve(res.status || 'left to onRefused'));
        });
        const answer = await outcome;
        if (answer instanceof Error) documentedError(answer, context);
        try {
          res.emit('finish');
        } catch (err) {
          escaped.push([context, err]);
        }
      }
    }
    await new Promise((resolve) => setImmediate(resolve));
  } finally {
    process.removeListener('unhandledRejection', onRejection);
  }
  assert.deepStrictEqual(escaped, []);
  assert.deepStrictEqual(rejections, []);
});
