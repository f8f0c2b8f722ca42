'use strict';
// The Express example with several limits, on a real loopback server: statuses
// and every rate-limit field, including an IPv6 client rotating addresses inside
// one /64 behind a trusted proxy.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');

const { createApp } = require(path.join(__dirname, '..', '..', 'examples', 'express_rules.js'));

async function ask(base, pathname, { method = 'GET', forwarded } = {}) {
  const res = await fetch(base + pathname,
    { method, headers: forwarded ? { 'x-forwarded-for': forwarded } : {} });
  const fields = {};
  for (const name of ['ratelimit-policy', 'ratelimit', 'retry-after']) {
    if (res.headers.has(name)) fields[name] = res.headers.get(name);
  }
  return [res.status, fields, await res.text()];
}

test('Express: limits, fields and IPv6 networks', async () => {
  const server = createApp().listen(0, '127.0.0.1');
  await new Promise((resolve) => server.once('listening', resolve));
  const base = `http://127.0.0.1:${server.address().port}`;
  try {
    for (let i = 0; i < 3; i++) assert.deepStrictEqual((await ask(base, '/health')).slice(0, 2), [200, {}]);

    const logins = [];
    for (let i = 0; i < 3; i++) logins.push(await ask(base, '/login', { method: 'POST' }));
    assert.deepStrictEqual(logins.map(([status]) => status), [200, 200, 429]);
    logins.forEach(([, fields], at) => {
      assert.strictEqual(fields['ratelimit-policy'], '"login";q=2;w=60');
      assert.match(fields.ratelimit, new RegExp(`^"login";r=${at === 0 ? 1 : 0};t=(59|60)$`));
    });
    assert.ok(!('retry-after' in logins[1][1]));
    assert.match(logins[2][1]['retry-after'], /^(59|60)$/);
    assert.strictEqual(logins[2][2], '{"error":"too many requests"}');

    assert.deepStrictEqual((await ask(base, '/api/items', { forwarded: '203.0.113.5' })).slice(0, 2),
      [200, { 'ratelimit-policy': '"api";q=4;w=8', ratelimit: '"api";r=3;t=2' }]);

    // One client, a new address of its /64 for each request: one allowance of 6.
    const rotating = [];
    for (let i = 1; i <= 7; i++) {
      rotating.push(await ask(base, '/', { forwarded: `2001:db8:1:2::${i.toString(16)}, 127.0.0.1` }));
    }
    assert.deepStrictEqual(rotating.map(([status]) => status), [200, 200, 200, 200, 200, 200, 429]);
    rotating.forEach(([, fields], at) => {
      assert.strictEqual(fields['ratelimit-policy'], '"global";q=6;w=60');
      assert.match(fields.ratelimit, new RegExp(`^"global";r=${Math.max(0, 5 - at)};t=\\d+$`));
    });
    assert.match(rotating[6][1]['retry-after'], /^(9|10)$/);
    assert.strictEqual((await ask(base, '/', { forwarded: '2001:db8:1:100::1' }))[0], 200);
  } finally {
    server.closeAllConnections();
    server.close();
  }
});
