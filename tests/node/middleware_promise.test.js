'use strict';
// The middleware with an engine that answers with Promises (as the Redis engine
// does): next(), the handler, the 429 and failures wait for the answer.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { repoRoot } = require('./addon');
const { createRateLimiter } = require(path.join(repoRoot, 'js', 'middleware.js'));

// Admits the first `allowance` checks, then refuses; `failing` rejects instead.
function promiseEngine(allowance, failing = false) {
  let used = 0;
  return {
    checkRequest: async (ip) => {
      if (failing) throw new Error(`no store for ${ip}`);
      used += 1;
      const allowed = used <= allowance;
      return { allowed, wouldBlock: !allowed, reason: allowed ? 'within_limit' : 'limit_exceeded',
        algorithm: 'fixed_window', debugInfo: '' };
    },
  };
}

function exchange() {
  const req = { socket: { remoteAddress: '192.0.2.1' }, headers: {}, url: '/items' };
  const res = {
    headersSent: false,
    writeHead(status) { this.status = status; this.headersSent = true; },
    end(body) { this.body = body; },
  };
  return { req, res };
}

test('Express style: next() after an admission, 429 after a refusal, next(err) on failure',
  async () => {
    const limiter = createRateLimiter({ engine: promiseEngine(1) });
    const outcomes = [];
    for (let i = 0; i < 2; i++) {
      const { req, res } = exchange();
      await new Promise((resolve) => {
        limiter(req, res, (err) => { outcomes.push(err || req.vorn.allowed); resolve(); });
        setTimeout(resolve, 50);
      });
      if (res.status) outcomes.push(res.status);
    }
    assert.deepStrictEqual(outcomes, [true, 429]);

    const failing = createRateLimiter({ engine: promiseEngine(1, true) });
    const { req, res } = exchange();
    const err = await new Promise((resolve) => failing(req, res, resolve));
    assert.match(err.message, /no store/);
  });

test('wrap: the handler runs once admitted; a failure without next answers 500', async (t) => {
  const limiter = createRateLimiter({ engine: promiseEngine(1) });
  const handled = [];
  const listener = limiter.wrap((req, res) => { handled.push(req.vorn.allowed); res.end('ok'); });
  const first = exchange();
  const second = exchange();
  await listener(first.req, first.res);
  await listener(second.req, second.res);
  assert.deepStrictEqual([handled, first.res.body, second.res.status], [[true], 'ok', 429]);

  t.mock.method(console, 'error', () => {});
  const failed = exchange();
  await createRateLimiter({ engine: promiseEngine(1, true) }).wrap(() => {})(failed.req,
    failed.res);
  assert.strictEqual(failed.res.status, 500);
});
