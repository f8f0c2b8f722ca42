'use strict';
// The refusal log: a structured line per refusal through the logger's
// warn(object, message), never more lines a second than its bound, and a count
// of those it left out.
const test = require('node:test');
const assert = require('node:assert');
const { RefusalLog, refusalLogOf } = require('../../js/refusal_log');
const { createRateLimiter, rateLimit, VornNode } = require('../../js/index');

const collect = () => {
  const lines = [];
  return { lines, logger: { warn: (object, message) => lines.push({ ...object, message }) } };
};

function request(url = '/login', user = 'ann') {
  return { url, method: 'GET', headers: { 'x-user': user }, socket: { remoteAddress: '192.0.2.1' } };
}

function response() {
  return { statusCode: 200, setHeader() {}, end() {}, writeHead(status) { this.statusCode = status; } };
}

test('a flood writes its bound and counts the rest', () => {
  const { lines, logger } = collect();
  let now = 100;
  const log = new RefusalLog(5, logger, () => now);
  const refused = { allowed: false, wouldBlock: true, retryAfterMs: 1500 };
  for (let i = 0; i < 10000; i++) log.refused('login', '192.0.2.1', '/login', refused);
  assert.strictEqual(lines.length, 5);
  now += 1;
  log.refused('login', '192.0.2.1', '/login', refused);
  const last = lines.at(-1);
  assert.deepStrictEqual([last.omitted, last.limit, last.key, last.route, last.retryAfterS],
    [9995, 'login', '192.0.2.1', '/login', 2]);
  assert.match(last.message, /9995 refusals not logged/);
});

test('the middlewares log refusals, and shadow ones', () => {
  for (const [mode, shadow] of [['active', false], ['shadow', true]]) {
    const { lines, logger } = collect();
    const engine = new VornNode({ capacity: 1, refillRate: 0, mode });
    const limit = createRateLimiter({ engine, identity: (req) => req.headers['x-user'],
      logRefusals: true, logger });
    for (let i = 0; i < 2; i++) limit(request(), response(), () => {});
    assert.deepStrictEqual(lines.map(({ key, route, shadow: was }) => [key, route, was]),
      [['id:ann', '/login', shadow]], mode);
    const route = collect();
    const own = rateLimit({ limit: '1/hour', mode, logRefusals: 2, logger: route.logger });
    for (let i = 0; i < 5; i++) own(request('/x'), response(), () => {});
    assert.strictEqual(route.lines.length, 2, mode);
  }
  assert.throws(() => refusalLogOf(0), TypeError);
  assert.throws(() => refusalLogOf(true, {}), TypeError);
});
