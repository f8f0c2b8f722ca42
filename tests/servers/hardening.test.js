'use strict';
// Hostile requests against a real node:http server on loopback: a failing
// identity function or handler must not end the process, and a forged
// Forwarded element must not pick the key. The test client, 127.0.0.1, is the
// trusted proxy.
const test = require('node:test');
const assert = require('node:assert');
const http = require('node:http');
const path = require('node:path');

const repoRoot = path.resolve(__dirname, '..', '..');
const { VornNode } = require(path.resolve(
  process.env.VORN_NODE_ADDON || path.join(repoRoot, 'build', 'node', 'vorn_native.node')));
const { createRateLimiter } = require(path.join(repoRoot, 'js', 'middleware.js'));

async function withServer(options, handler, body) {
  const errors = [];
  const limit = createRateLimiter({
    engine: new VornNode({ capacity: 3, refillRate: 0 }),
    trustedProxies: ['127.0.0.1'],
    onError: (err) => errors.push(err.message),
    ...options,
  });
  const server = http.createServer(limit.wrap(handler));
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  try {
    await body(`http://127.0.0.1:${server.address().port}/`, errors);
  } finally {
    server.closeAllConnections();
    server.close();
  }
}

const get = async (url, headers = {}) => (await fetch(url, { headers })).status;

test('a throwing identity or handler is answered 500 and the server lives', async () => {
  const identity = (req) => req.headers['x-user'].slice(0, 4);  // throws without the header
  await withServer({ identity }, async (req, res) => {
    if (req.url === '/') return res.end('ok');
    if (req.url === '/throws') throw new Error('handler threw');
    res.writeHead(200);
    res.write('partial');
    throw new Error('handler threw mid-answer');
  }, async (url, errors) => {
    assert.strictEqual(await get(url), 500);
    assert.strictEqual(await get(url, { 'x-user': 'alice' }), 200);
    assert.strictEqual(await get(`${url}throws`, { 'x-user': 'bob' }), 500);
    // A response under way is cut rather than answered twice.
    await assert.rejects(fetch(`${url}midway`, { headers: { 'x-user': 'carol' } })
      .then((res) => res.text()));
    assert.strictEqual(await get(url, { 'x-user': 'alice' }), 200);
    assert.deepStrictEqual(errors.map((message) => message.split(' ')[0]),
      ['Cannot', 'handler', 'handler']);
  });
});

test('a forged Forwarded element never picks the key', async () => {
  await withServer({ forwardedHeader: 'Forwarded' }, (req, res) => res.end('ok'), async (url) => {
    const statuses = [];
    for (let i = 0; i < 20; i++) {
      const forged = `for=198.51.100.${i};x="${'\\'.repeat(i % 2)}`;
      statuses.push(await get(url, { forwarded: `${forged}, for=203.0.113.9` }));
    }
    assert.strictEqual(statuses.filter((status) => status === 200).length, 3, String(statuses));
  });
});
