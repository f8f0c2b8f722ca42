'use strict';
// Rate-limit fields, Retry-After, several rules, skip and onRefused in the Node middleware.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { loadAddon, repoRoot } = require('./addon');
const { createRateLimiter } = require(path.join(repoRoot, 'js', 'middleware.js'));

const { VornNode } = loadAddon();

function request(url = '/items', method = 'GET', headers = {}) {
  return { socket: { remoteAddress: '192.0.2.1' }, headers, url, method };
}

function response() {
  return {
    fields: {},
    setHeader(name, value) { this.fields[name] = value; },
    writeHead(status, headers) { this.status = status; Object.assign(this.fields, headers); },
    end(body) { this.body = body; },
  };
}

// The status ('next' when admitted) and the rate-limit fields of one request.
function send(limiter, req = request()) {
  const res = response();
  let outcome = res.status;
  limiter(req, res, () => { outcome = 'next'; });
  const fields = Object.fromEntries(Object.entries(res.fields)
    .filter(([name]) => /ratelimit|retry-after/i.test(name)));
  return [outcome ?? res.status, fields];
}

const engine = (config) => new VornNode({ capacity: 2, refillRate: 0.5, ...config });

test('each style on admitted and refused answers', (t) => {
  t.mock.method(Date, 'now', () => 1800000000000);  // the x style's reset is a Unix time
  const expected = {
    draft: [{ 'RateLimit-Policy': '"default";q=2;w=4', RateLimit: '"default";r=1;t=2' },
      { 'RateLimit-Policy': '"default";q=2;w=4', RateLimit: '"default";r=0;t=4', 'Retry-After': '2' }],
    legacy: [{ 'RateLimit-Limit': '2', 'RateLimit-Remaining': '1', 'RateLimit-Reset': '2' },
      { 'RateLimit-Limit': '2', 'RateLimit-Remaining': '0', 'RateLimit-Reset': '4', 'Retry-After': '2' }],
    x: [{ 'X-RateLimit-Limit': '2', 'X-RateLimit-Remaining': '1', 'X-RateLimit-Reset': '1800000002' },
      { 'X-RateLimit-Limit': '2', 'X-RateLimit-Remaining': '0', 'X-RateLimit-Reset': '1800000004',
        'Retry-After': '2' }],
    none: [{}, { 'Retry-After': '2' }],
  };
  for (const [headers, [admitted, refused]] of Object.entries(expected)) {
    const limiter = createRateLimiter({ engine: engine(), headers });
    assert.deepStrictEqual(send(limiter), ['next', admitted], headers);
    send(limiter);
    assert.deepStrictEqual(send(limiter), [429, refused], headers);
  }
  assert.throws(() => createRateLimiter({ engine: engine(), headers: 'X-RateLimit' }), TypeError);
});

test('Retry-After rounds up and is never 0; shadow tells the refusal without a 429', () => {
  for (const [refillRate, retry] of [[3, '1'], [0.4, '3'], [0, '60']]) {
    const limiter = createRateLimiter({ engine: engine({ capacity: 1, refillRate }) });
    send(limiter);
    assert.strictEqual(send(limiter)[1]['Retry-After'], retry, String(refillRate));
  }
  const shadow = createRateLimiter({ engine: engine({ capacity: 1, refillRate: 1, mode: 'shadow' }) });
  send(shadow);
  assert.deepStrictEqual(send(shadow), ['next', { 'RateLimit-Policy': '"default";q=1;w=1',
    RateLimit: '"default";r=0;t=1', 'Retry-After': '1' }]);
});

test('every applying rule counts and the closest to refusing speaks', () => {
  const limiter = createRateLimiter({
    rules: [
      { engine: engine({ capacity: 1, refillRate: 0 }), path: '/login', methods: ['post'], name: 'login' },
      { engine: engine({ capacity: 3, refillRate: 0 }), path: /^\/api\/v\d+\//, name: 'api' },
      { engine: engine({ capacity: 10, refillRate: 0 }), name: 'global' },
    ],
  });
  const rate = (url, method) => {
    const [status, fields] = send(limiter, request(url, method));
    return [status, fields.RateLimit];
  };
  assert.deepStrictEqual(rate('/login', 'POST'), ['next', '"login";r=0']);
  assert.deepStrictEqual(rate('/login', 'GET'), ['next', '"global";r=8']);
  assert.deepStrictEqual(rate('/login', 'POST'), [429, '"login";r=0']);
  assert.deepStrictEqual(rate('/api/v2/items'), ['next', '"api";r=2']);
  assert.deepStrictEqual(rate('/api/vx/items'), ['next', '"global";r=5']);
  assert.deepStrictEqual([1, 2, 3].map(() => rate('/api/v1/')[0]), ['next', 'next', 429]);
  assert.deepStrictEqual(rate('/'), ['next', '"global";r=1']);
});

test('rule identity, skip and onRefused', () => {
  const limiter = createRateLimiter({
    rules: [{ engine: engine({ capacity: 1, refillRate: 0 }), identity: (req) => req.headers.user }],
    skip: (req) => req.url === '/health',
    onRefused: (req, res, result) => { res.writeHead(503); res.end(`busy ${result.reason}`); },
  });
  assert.strictEqual(send(limiter, request('/', 'GET', { user: 'ann' }))[0], 'next');
  const res = response();
  limiter(request('/', 'GET', { user: 'ann' }), res, assert.fail);
  assert.deepStrictEqual([res.status, res.body, res.fields['Retry-After']], [503, 'busy token_exhausted', '60']);
  assert.strictEqual(send(limiter, request('/', 'GET', { user: 'bob' }))[0], 'next');
  for (let i = 0; i < 3; i++) {
    assert.deepStrictEqual(send(limiter, request('/health', 'GET', { user: 'bob' })), ['next', {}]);
  }
  assert.throws(() => createRateLimiter({ rules: [] }), TypeError);
  assert.throws(() => createRateLimiter({ rules: [{ engine: engine(), methods: 'GET' }] }), TypeError);
});
