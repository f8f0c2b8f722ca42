'use strict';
// The route limits of Express and Fastify: one table of cases (cost, count,
// keys, reset, the switch) against every store, in-process, zone and an engine
// that answers with Promises as the Redis engine does, and both frameworks;
// then the rules form's paths and scopes, and the options every entry point
// refuses.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { repoRoot } = require('./addon');

const vorn = require(repoRoot);
const vornFastify = require(path.join(repoRoot, 'fastify'));
const express = require('express');
const Fastify = require('fastify');

const { rateLimit, defaultLimit, createRateLimiter, createEngine, removeZone, VornNode } = vorn;

// An engine answering with Promises, as the Redis engine does.
function promising(engine) {
  const later = (value) => new Promise((resolve) => setImmediate(resolve, value));
  return {
    checkRequest: (...args) => later(engine.checkRequest(...args)),
    checkLimits: (...args) => later(engine.checkLimits(...args)),
    refund: (...args) => later(engine.refund(...args)),
    reset: (...args) => later(engine.reset(...args)),
  };
}

let zones = 0;
const STORES = {
  process: (options) => options,
  zone: (options) => ({ ...options, zone: `vorn-forms-${process.pid}-${zones++}` }),
  promises: ({ limit, algorithm, ...options }) => ({ ...options, engine: promising(createEngine({ limit, algorithm })) }),
};

// One route under `options` on each framework: send(headers) answers
// {status, fields}; `controls` has the limit's enabled and reset.
const HOSTS = {
  async express(options) {
    const limit = rateLimit(options);
    const app = express();
    app.get('/r', limit, (req, res) => res.status(Number(req.get('x-status') || 200)).send('ok'));
    const server = app.listen(0, '127.0.0.1');
    await new Promise((resolve) => server.once('listening', resolve));
    const base = `http://127.0.0.1:${server.address().port}/r`;
    return {
      controls: limit,
      async send(headers = {}) {
        const res = await fetch(base, { headers });
        await res.text();
        return { status: res.status, fields: res.headers.get('ratelimit') };
      },
      close: () => { server.closeAllConnections(); server.close(); },
    };
  },
  async fastify(options) {
    const app = Fastify();
    await app.register(vornFastify);
    app.get('/r', { config: { rateLimit: options } },
      async (request, reply) => reply.code(Number(request.headers['x-status'] || 200)).send('ok'));
    await app.ready();
    return {
      controls: app.vorn,
      async send(headers = {}) {
        const res = await app.inject({ url: '/r', headers });
        return { status: res.statusCode, fields: res.headers.ratelimit || null };
      },
      close: () => app.close(),
    };
  },
};

const sendEach = async (host, list) => {
  const statuses = [];
  for (const headers of list) statuses.push((await host.send(headers)).status);
  return statuses;
};

const CASES = [
  ['cost: a number or a function of the request; 0 counts nothing',
    { limit: '10/minute', algorithm: 'fixed_window', cost: (req) => Number(req.headers['x-cost']) },
    async (host) => {
      const costs = ['4', '4', '0', '4', '2', '1'].map((cost) => ({ 'x-cost': cost }));
      assert.deepStrictEqual(await sendEach(host, costs), [200, 200, 200, 429, 200, 429]);
    }],
  ["count: 'successful' gives failed requests back, after their answer",
    { limit: '2/minute', count: 'successful' },
    async (host) => {
      const answers = ['500', '503', '500', '200', '201', '200'].map((status) => ({ 'x-status': status }));
      assert.deepStrictEqual(await sendEach(host, answers), [500, 503, 500, 200, 201, 429]);
    }],
  ['count: a function of (req, res)',
    { limit: '1/minute', count: (req, res) => res.statusCode === 418 },
    async (host) => {
      const answers = ['200', '200', '418', '200'].map((status) => ({ 'x-status': status }));
      assert.deepStrictEqual(await sendEach(host, answers), [200, 200, 418, 429]);
    }],
  ['key: each user has an allowance; without one, the address',
    { limit: '1/minute', key: (req) => req.headers['x-user'] },
    async (host) => {
      const users = [{ 'x-user': 'ann' }, { 'x-user': 'bob' }, {}, { 'x-user': 'ann' }, {}];
      assert.deepStrictEqual(await sendEach(host, users), [200, 200, 200, 429, 429]);
    }],
  ['reset forgets the counts; enabled false checks nothing',
    { limit: '1/minute' },
    async (host) => {
      assert.deepStrictEqual(await sendEach(host, [{}, {}]), [200, 429]);
      await host.controls.reset();
      assert.deepStrictEqual(await sendEach(host, [{}, {}]), [200, 429]);
      host.controls.enabled = false;
      assert.deepStrictEqual(await host.send(), { status: 200, fields: null });
      host.controls.enabled = true;
      assert.strictEqual((await host.send()).status, 429);
    }],
];

for (const [hostName, makeHost] of Object.entries(HOSTS)) {
  test(`${hostName}: route limits on every store`, async (t) => {
    for (const [storeName, store] of Object.entries(STORES)) {
      for (const [name, options, run] of CASES) {
        await t.test(`${storeName}: ${name}`, async () => {
          const given = store(options);
          const host = await makeHost(given);
          try {
            await run(host);
          } finally {
            await host.close();
            if (given.zone) removeZone(given.zone);
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
  const server = app.listen(0, '127.0.0.1');
  await new Promise((resolve) => server.once('listening', resolve));
  const base = `http://127.0.0.1:${server.address().port}`;
  const statuses = [];
  try {
    for (const [method, url] of [['POST', '/auth/login'], ['POST', '/AUTH/Login'], ['POST', '/auth/login'],
      ['GET', '/api/items'], ['GET', '/api/items'], ['GET', '/auth/login'], ['GET', '/page']]) {
      statuses.push((await fetch(base + url, { method })).status);
    }
  } finally {
    server.closeAllConnections();
    server.close();
  }
  // The login route's 2, /api's 3; the form and the page share the default's 1.
  assert.deepStrictEqual(statuses, [200, 200, 429, 200, 200, 200, 429]);
});

test('a route of several limits: each counts in turn, the closest tells the fields', async () => {
  const byUser = (req) => req.headers['x-user'];
  const fastify = Fastify();
  await fastify.register(vornFastify);
  fastify.get('/r', { config: { rateLimit: ['3/minute', { limit: '2/minute', key: byUser }] } }, async () => 'ok');
  const app = express();
  app.get('/r', rateLimit('3/minute'), rateLimit({ limit: '2/minute', key: byUser }), (req, res) => res.send('ok'));
  const server = app.listen(0, '127.0.0.1');
  await new Promise((resolve) => server.once('listening', resolve));
  const hosts = {
    fastify: async (user) => {
      const res = await fastify.inject({ url: '/r', headers: { 'x-user': user } });
      return [res.statusCode, res.headers['ratelimit-policy']];
    },
    express: async (user) => {
      const res = await fetch(`http://127.0.0.1:${server.address().port}/r`, { headers: { 'x-user': user } });
      await res.text();
      return [res.status, res.headers.get('ratelimit-policy')];
    },
  };
  try {
    for (const [name, send] of Object.entries(hosts)) {
      const answers = [];
      for (const user of ['ann', 'ann', 'ann', 'bob']) answers.push(await send(user));
      // ann's third passes the route's 3 (which counts it) and is refused by her
      // 2; then the route's 3 is spent for bob too. Admitted: her 2 is closer.
      assert.deepStrictEqual(answers, [[200, '"/r";q=2;w=60'], [200, '"/r";q=2;w=60'],
        [429, '"/r";q=2;w=60'], [429, '"/r";q=3;w=60']], name);
    }
  } finally {
    await fastify.close();
    server.closeAllConnections();
    server.close();
  }
});

test('rules: whole path segments, the app\'s case sensitivity, a scope for each rule', () => {
  const one = () => new VornNode({ capacity: 1, refillRate: 0 });
  const answer = (limiter, url, app) => {
    let status = 'next';
    const res = { setHeader() {}, writeHead(code) { status = code; }, end() {} };
    limiter({ socket: { remoteAddress: '192.0.2.1' }, headers: {}, url, method: 'GET', app }, res, () => {});
    return status;
  };
  const caseless = { get: (name) => (name === 'case sensitive routing' ? false : undefined) };
  const caseful = { get: (name) => name === 'case sensitive routing' };
  const rows = [
    ['/login', '/login', undefined, true], ['/login', '/login/', undefined, true],
    ['/login', '/login/x', undefined, true], ['/login', '/login-help', undefined, false],
    ['/login', '/LOGIN', caseless, true], ['/login', '/LOGIN', caseful, false],
    ['/login', '/LOGIN', undefined, false], ['/api/', '/api', undefined, true],
    ['/', '/anything', undefined, true], [/^\/v\d/, '/v2/x', undefined, true],
  ];
  for (const [prefix, url, app, applies] of rows) {
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
