'use strict';
// The route limits of Express and Fastify: one table of cases against every
// store (in-process, zone, and an engine answering with Promises as the Redis
// engine does) and both frameworks; then Express's default limit, the rules
// form's paths and scopes, and the options every entry point refuses.
const test = require('node:test');
const assert = require('node:assert');
const { vorn, vornFastify } = require('./framework_package');

const { rateLimit, defaultLimit, createRateLimiter, createEngine, removeZone, VornNode } = vorn;
const express = require('express');
const Fastify = require('fastify');

function promising(engine) {
  const later = (method) => (...args) =>
    new Promise((resolve) => setImmediate(resolve, engine[method](...args)));
  return { checkRequest: later('checkRequest'), checkLimits: later('checkLimits'), refund: later('refund'),
    reset: later('reset') };
}

let zones = 0;
const STORES = {
  process: (options) => options,
  zone: (options) => ({ ...options, zone: `vorn-forms-${process.pid}-${zones++}` }),
  promises: ({ limit, algorithm, ...options }) =>
    ({ ...options, engine: promising(createEngine({ limit, algorithm })) }),
};

async function listen(app) {
  const server = app.listen(0, '127.0.0.1');
  await new Promise((resolve) => server.once('listening', resolve));
  return { base: `http://127.0.0.1:${server.address().port}`,
    close: () => { server.closeAllConnections(); server.close(); } };
}

// Route /r under a list of limits on each framework, answering X-Status:
// send(headers) gives [status, RateLimit-Policy]; `controls`, enabled and reset.
const HOSTS = {
  async express(limits) {
    const middlewares = limits.map(rateLimit);
    const app = express();
    app.get('/r', ...middlewares, (req, res) => res.status(Number(req.get('x-status') || 200)).send('ok'));
    const server = await listen(app);
    return { controls: middlewares[0], close: server.close,
      async send(headers = {}) {
        const res = await fetch(`${server.base}/r`, { headers });
        await res.text();
        return [res.status, res.headers.get('ratelimit-policy')];
      } };
  },
  async fastify(limits) {
    const app = Fastify();
    await app.register(vornFastify);
    app.get('/r', { config: { rateLimit: limits } },
      async (request, reply) => reply.code(Number(request.headers['x-status'] || 200)).send('ok'));
    return { controls: app.vorn, close: () => app.close(),
      async send(headers = {}) {
        const res = await app.inject({ url: '/r', headers });
        return [res.statusCode, res.headers['ratelimit-policy'] || null];
      } };
  },
};

const statuses = async (host, name, values) => {
  const seen = [];
  for (const value of values) seen.push((await host.send(value === undefined ? {} : { [name]: value }))[0]);
  return seen;
};
const byUser = (req) => req.headers['x-user'];

// [what, the route's limits, run(host)]
const CASES = [
  ['cost: a number or a function of the request; 0 counts nothing',
    [{ limit: '10/minute', algorithm: 'fixed_window', cost: (req) => Number(req.headers['x-cost']) }],
    async (host) => assert.deepStrictEqual(await statuses(host, 'x-cost', ['4', '4', '0', '4', '2', '1']),
      [200, 200, 200, 429, 200, 429])],
  ["count: 'successful' gives failed requests back once answered",
    [{ limit: '2/minute', count: 'successful' }],
    async (host) => assert.deepStrictEqual(await statuses(host, 'x-status', [500, 503, 500, 200, 201, 200]),
      [500, 503, 500, 200, 201, 429])],
  ['count: a function of (req, res)', [{ limit: '1/minute', count: (req, res) => res.statusCode === 418 }],
    async (host) => assert.deepStrictEqual(await statuses(host, 'x-status', ['200', '200', '418', '200']),
      [200, 200, 418, 429])],
  ['key: each user has an allowance; without one, the address', [{ limit: '1/minute', key: byUser }],
    async (host) => assert.deepStrictEqual(
      await statuses(host, 'x-user', ['ann', 'bob', undefined, 'ann', undefined]), [200, 200, 200, 429, 429])],
  ['several limits count in turn; the fields tell the closest', ['3/minute', { limit: '2/minute', key: byUser }],
    async (host) => {
      const answers = [];
      for (const user of ['ann', 'ann', 'ann', 'bob']) answers.push(await host.send({ 'x-user': user }));
      // ann's third passes the route's 3, which counts it, and her 2 refuses it;
      // then the route's 3 is spent for bob too.
      assert.deepStrictEqual(answers, [[200, '"/r";q=2;w=60'], [200, '"/r";q=2;w=60'],
        [429, '"/r";q=2;w=60'], [429, '"/r";q=3;w=60']]);
    }],
  ['reset forgets the counts; enabled false checks nothing', ['1/minute'], async (host) => {
    assert.deepStrictEqual(await statuses(host, 'x', [1, 1]), [200, 429]);
    await host.controls.reset();
    assert.deepStrictEqual(await statuses(host, 'x', [1, 1]), [200, 429]);
    host.controls.enabled = false;
    assert.deepStrictEqual(await host.send(), [200, null]);
    host.controls.enabled = true;
    assert.deepStrictEqual(await statuses(host, 'x', [1]), [429]);
  }],
];

for (const [hostName, makeHost] of Object.entries(HOSTS)) {
  test(`${hostName}: route limits on every store`, async (t) => {
    for (const [storeName, store] of Object.entries(STORES)) {
      for (const [name, limits, run] of CASES) {
        await t.test(`${storeName}: ${name}`, async () => {
          const given = limits.map((limit) => store(typeof limit === 'string' ? { limit } : limit));
          const host = await makeHost(given);
          try {
            await run(host);
          } finally {
            await host.close();
            for (const { zone } of given) if (zone) removeZone(zone);
          }
        });
      }
    }
  });
}

test('defaultLimit leaves the routes with a limit of their own, in nested routers too', async () => {
  const app = express();
  app.use(defaultLimit('1/minute'));
  const auth = express.Router();
  auth.post('/login', rateLimit('2/minute'), (req, res) => res.send('login'));
  auth.get('/login', (req, res) => res.send('form'));
  app.use('/auth', auth);
  app.use('/api', rateLimit('3/minute'));
  app.get('/api/items', (req, res) => res.send('items'));
  app.get('/page', (req, res) => res.send('page'));
  const server = await listen(app);
  const seen = [];
  try {
    for (const [method, url] of [['POST', '/auth/login'], ['POST', '/AUTH/Login'], ['POST', '/auth/login'],
      ['GET', '/api/items'], ['GET', '/api/items'], ['GET', '/auth/login'], ['GET', '/page']]) {
      seen.push((await fetch(server.base + url, { method })).status);
    }
  } finally {
    server.close();
  }
  // The login route's 2 (however the client spells /auth), /api's 3; the form
  // and the page share the default's 1.
  assert.deepStrictEqual(seen, [200, 200, 429, 200, 200, 200, 429]);
});

test('rules: whole path segments, the app\'s case sensitivity, a scope for each rule', () => {
  const one = () => new VornNode({ capacity: 1, refillRate: 0 });
  const answer = (limiter, url, app) => {
    let status = 'next';
    const res = { setHeader() {}, writeHead(code) { status = code; }, end() {} };
    limiter({ socket: { remoteAddress: '192.0.2.1' }, headers: {}, url, method: 'GET', app }, res, () => {});
    return status;
  };
  const caseless = { get: () => false };
  const caseful = { get: (name) => name === 'case sensitive routing' };
  for (const [prefix, url, app, applies] of [
    ['/login', '/login', undefined, true], ['/login', '/login/', undefined, true],
    ['/login', '/login/x', undefined, true], ['/login', '/login-help', undefined, false],
    ['/login', '/LOGIN', caseless, true], ['/login', '/LOGIN', caseful, false],
    ['/login', '/LOGIN', undefined, false], ['/api/', '/api', undefined, true],
    ['/', '/anything', undefined, true], [/^\/v\d/, '/v2/x', undefined, true],
  ]) {
    const limiter = createRateLimiter({ rules: [{ engine: one(), path: prefix }] });
    answer(limiter, url, app);
    assert.strictEqual(answer(limiter, url, app), applies ? 429 : 'next', `${prefix} ${url}`);
  }
  // Two rules on one engine count apart; rules naming one scope count together.
  const engine = one();
  const apart = createRateLimiter({ rules: [{ engine, path: '/a' }, { engine, path: '/b' }] });
  assert.deepStrictEqual(['/a', '/b', '/a'].map((url) => answer(apart, url)), ['next', 'next', 429]);
  const together = createRateLimiter({ rules: [{ engine: one(), path: '/c', name: 'cd' },
    { engine, path: '/d', name: 'cd' }] });
  assert.deepStrictEqual(['/d', '/c', '/d'].map((url) => answer(together, url)), ['next', 'next', 429]);
});

test('every entry point names the options it does not know, and refuses bad values', async () => {
  const unknown = (fn, names) => assert.throws(fn, (err) => err instanceof TypeError &&
    names.every((name) => err.message.includes(`"${name}"`)), names.join());
  unknown(() => createRateLimiter({ windowMs: 60000, limit: 5 }), ['windowMs', 'limit']);
  unknown(() => createEngine({ capcity: 5, limit: '1/s' }), ['capcity']);
  unknown(() => createRateLimiter({ rules: [{ config: {}, paths: '/x' }] }), ['paths']);
  unknown(() => rateLimit({ limit: '5/minute', max: 5 }), ['max']);
  unknown(() => defaultLimit({ limit: '5/minute', windowMs: 1 }), ['windowMs']);
  await assert.rejects(Fastify().register(vornFastify, { limit: '5/minute', timeWindow: 1 }).ready(),
    /unknown option "timeWindow"/);
  await assert.rejects(Fastify().register(vornFastify, { limit: '5/minute', hook: 'onSend' }).ready(), TypeError);
  const app = Fastify();
  await app.register(vornFastify);
  assert.throws(() => app.get('/x', { config: { rateLimit: { limit: '1/s', max: 1 } } }, async () => ''),
    /unknown option "max"/);
  for (const [options, error] of [
    [{}, TypeError], [{ limit: '5 per fortnight' }, TypeError], [{ limit: '5/s', count: 'failures' }, TypeError],
    [{ limit: '5/s', cost: -1 }, RangeError], [{ limit: '5/s', cost: '2' }, TypeError],
    [{ limit: '5/s', shared: 'a\x1fb' }, TypeError], [{ limit: '5/s', shared: 'x'.repeat(201) }, TypeError],
    [{ limit: '5/s', enabled: 'no' }, TypeError], [{ limit: '5/s', key: 'user' }, TypeError],
    [{ limit: '5/s', engine: new VornNode({}) }, TypeError],
  ]) {
    assert.throws(() => rateLimit(options), error, JSON.stringify(options));
  }
  assert.throws(() => defaultLimit({ limit: '5/s', shared: 'x' }), TypeError);
});
