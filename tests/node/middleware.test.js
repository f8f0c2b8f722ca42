'use strict';
// The http/Express middleware against the built addon: plain request and
// response objects for the decisions, one real loopback server for the wiring.
const test = require('node:test');
const assert = require('node:assert');
const http = require('node:http');
const path = require('node:path');
const { loadAddon, repoRoot } = require('./addon');
const { createRateLimiter, routeOf } = require(path.join(repoRoot, 'js', 'middleware.js'));

const { VornNode } = loadAddon();

function request(remoteAddress = '192.0.2.1', headers = {}, url = '/items') {
  return { socket: { remoteAddress }, headers, url };
}

function response() {
  return {
    status: undefined, headers: undefined, body: undefined,
    writeHead(status, headers) { this.status = status; this.headers = headers; },
    end(body) { this.body = body; },
  };
}

// Runs one request through the Express-style middleware: 'next' or the 429 status.
function pass(limiter, req) {
  const res = response();
  let outcome;
  limiter(req, res, (err) => { outcome = err ? err : 'next'; });
  return outcome ?? res.status;
}

function limiter(config, options = {}) {
  return createRateLimiter({ engine: new VornNode({ refillRate: 0, ...config }), ...options });
}

test('a refusal answers 429 with the rate-limit fields and skips next', () => {
  const limit = limiter({ capacity: 2 });
  assert.deepStrictEqual([1, 2, 3].map(() => pass(limit, request())), ['next', 'next', 429]);
  const res = response();
  const req = request();
  assert.strictEqual(limit.admit(req, res), false);
  assert.strictEqual(res.headers.RateLimit, '"default";r=0');
  assert.strictEqual(res.headers['Content-Length'], Buffer.byteLength(res.body));
  assert.strictEqual(req.vorn.wouldBlock, true);
});

test('shadow and disabled modes let everything through', () => {
  for (const mode of ['shadow', 'disabled']) {
    const limit = limiter({ capacity: 1, mode });
    const req = request();
    assert.deepStrictEqual([1, 2].map(() => pass(limit, req)), ['next', 'next'], mode);
    assert.strictEqual(req.vorn.wouldBlock, mode === 'shadow', mode);
  }
});

test('keys follow the canonical client address; forged headers change nothing', () => {
  const limit = limiter({ capacity: 1 });
  assert.strictEqual(pass(limit, request('10.0.0.1')), 'next');
  assert.strictEqual(pass(limit, request('::ffff:10.0.0.1')), 429);
  assert.strictEqual(pass(limit, request('10.0.0.1', { 'x-forwarded-for': '1.2.3.4' })), 429);
  assert.strictEqual(pass(limit, request('10.0.0.2')), 'next');
});

test('a trusted proxy names the client; identity replaces the address', () => {
  const proxied = limiter({ capacity: 1 }, { trustedProxies: ['127.0.0.1'] });
  const via = (client) => request('127.0.0.1', { 'x-forwarded-for': client });
  assert.deepStrictEqual(['203.0.113.1', '203.0.113.2', '203.0.113.1'].map((c) => pass(proxied, via(c))),
    ['next', 'next', 429]);

  const byUser = limiter({ capacity: 1 }, { identity: (req) => req.headers['x-user'] });
  const as = (user) => request('192.0.2.1', user ? { 'x-user': user } : {});
  assert.deepStrictEqual(['alice', 'bob', undefined, 'alice'].map((u) => pass(byUser, as(u))),
    ['next', 'next', 'next', 429]);
});

test('failures go to next(err), or are answered 500 once and reported without next', () => {
  const boom = new Error('boom');
  const reported = [];
  const limit = createRateLimiter({ engine: { checkRequest() { throw boom; } },
    onError: (err, req) => reported.push([err, req.url]) });
  assert.strictEqual(pass(limit, request()), boom);
  const res = response();
  limit(request(), res);
  assert.deepStrictEqual([res.status, res.body, reported], [500, 'Internal Server Error\n',
    [[boom, '/items']]]);
  assert.throws(() => createRateLimiter({}), TypeError);
  assert.throws(() => createRateLimiter({ engine: new VornNode({}), identity: 'x' }), TypeError);
  assert.throws(() => createRateLimiter({ engine: new VornNode({}), onError: 1 }), TypeError);
});

test('identities are keyed apart from addresses; empty is none; non-strings fail', () => {
  const byUser = limiter({ capacity: 1 }, { identity: (req) => req.headers['x-user'] });
  const as = (user, ip = '203.0.113.7') => request(ip, user === undefined ? {} : { 'x-user': user });
  // An identity spelling an address does not spend that address's allowance.
  assert.deepStrictEqual([pass(byUser, as('203.0.113.7')), pass(byUser, as(undefined))],
    ['next', 'next']);
  // Everyone sending an empty identity is keyed on their own address.
  assert.deepStrictEqual([pass(byUser, as('', '192.0.2.8')), pass(byUser, as('', '192.0.2.9'))],
    ['next', 'next']);
  for (const odd of [42, { id: 1 }, true]) {
    const limit = limiter({}, { identity: () => odd });
    assert.ok(pass(limit, request()) instanceof TypeError, String(odd));
  }
});

test('config names are checked; VornNode itself stays lenient', () => {
  const { checkConfigNames } = require(path.join(repoRoot, 'js', 'names.js'));
  assert.throws(() => checkConfigNames({ mode: 'Shadow' }), /^RangeError: .*active, shadow, disabled/);
  assert.throws(() => checkConfigNames({ algorithm: 'token-bucket' }), RangeError);
  assert.throws(() => checkConfigNames({ algorithm: 7 }), /^TypeError: .*leaky_bucket/);
  checkConfigNames({});
  checkConfigNames({ algorithm: 'fixed_window', mode: 'disabled' });
  assert.strictEqual(new VornNode({ mode: 'Shadow', capacity: 0 }).checkRequest('a', '/', 0).allowed,
    false);
});

test('the route is the path without query or fragment', () => {
  assert.strictEqual(routeOf({ url: '/a/b?c=1#d' }), '/a/b');
  assert.strictEqual(routeOf({ url: '?x' }), '/');
  assert.strictEqual(routeOf({ url: '/inner', originalUrl: '/mount/inner?q' }), '/mount/inner');
});

test('wrap limits a real http server', async () => {
  const limit = limiter({ capacity: 2 });
  const server = http.createServer(limit.wrap((req, res) => res.end(req.vorn.reason)));
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  try {
    const url = `http://127.0.0.1:${server.address().port}/x`;
    const answers = [];
    for (let i = 0; i < 3; i++) {
      const res = await fetch(url);
      answers.push([res.status, res.headers.get('ratelimit'), await res.text()]);
    }
    assert.deepStrictEqual(answers, [[200, '"default";r=1', 'within_limit'],
      [200, '"default";r=0', 'within_limit'], [429, '"default";r=0', 'Too Many Requests\n']]);
  } finally {
    server.closeAllConnections();
    server.close();
  }
});
