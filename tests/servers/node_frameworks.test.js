'use strict';
// vorn's Express and Fastify forms on real loopback servers: the app of
// framework_apps.js under an Express cluster of 2 workers on one zone, and
// under Fastify alone, in process and on Redis, run through one table of
// cases. Each case starts and stops its own server (and zone, or Redis keys),
// so each begins with fresh counts.
const test = require('node:test');
const assert = require('node:assert');
const http = require('node:http');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { removeZone } = require(path.join(__dirname, '..', '..'));
const { fastifyApp, FAILED_LOGIN, SHAPED } = require(path.join(__dirname, 'framework_apps.js'));
const { RedisServer, haveRedisServer } = require(path.join(__dirname, 'redis_support.js'));

const WORKERS = 2;

function startExpressCluster(appOptions) {
  const child = spawn(process.execPath, [path.join(__dirname, 'express_cluster.js'), String(WORKERS)], {
    env: { ...process.env, VORN_TEST_APP: JSON.stringify(appOptions) },
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  return new Promise((resolve, reject) => {
    let output = '';
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const match = /^listening (\d+)$/m.exec(output);
      if (match) resolve({ port: Number(match[1]), stop: () => { child.stdin.end(); return exited; } });
    });
    child.once('exit', (code) => reject(new Error(`the cluster exited ${code} before listening`)));
  });
}

async function startFastify(appOptions) {
  const app = await fastifyApp(appOptions);
  await app.listen({ port: 0, host: '127.0.0.1' });
  return { port: app.server.address().port, stop: () => app.close() };
}

const redisServer = haveRedisServer ? new RedisServer() : null;
let redisRuns = 0;
async function startFastifyOnRedis(appOptions) {
  if (redisServer.process === null) await redisServer.start();
  return startFastify({ ...appOptions, redis: redisServer.url, redisPrefix: `vorn-forms-${redisRuns++}:` });
}
test.after(() => redisServer && redisServer.kill());

const HOSTS = { express: startExpressCluster, fastify: startFastify, 'fastify on Redis': startFastifyOnRedis };

// One request on a new connection (so a cluster spreads them over its workers).
function ask(port, [method, url, { user, password } = {}]) {
  const headers = { 'content-length': '0' };
  if (user) headers['x-user'] = user;
  if (password) headers['x-password'] = password;
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, method, path: url, headers, agent: false }, (res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (chunk) => { body += chunk; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body }));
    });
    req.on('error', reject);
    req.end();
  });
}

const times = (count, step) => Array.from({ length: count }, () => step);
const login = (password) => ['POST', '/login', password ? { password } : {}];
const json = (reply) => JSON.parse(reply.body);

// Each case: its name, app options, and run(send, host) making its requests and
// checks; send(step) answers one request, sendAll(steps) a run of them in order.
const CASES = [
  ['a route limit counts alone, per key, with the fields and Retry-After', {}, async ({ sendAll }) => {
    const items = await sendAll(times(4, ['GET', '/items', { user: 'u1' }]));
    assert.deepStrictEqual(items.map((r) => r.status), [200, 200, 200, 429]);
    assert.deepStrictEqual(items.slice(0, 3).map((r) => json(r).left), [2, 1, 0]);
    assert.strictEqual((await sendAll([['GET', '/items', { user: 'u2' }]]))[0].status, 200);
    const other = await sendAll(times(4, ['GET', '/other']));
    assert.deepStrictEqual(other.map((r) => r.status), [200, 200, 200, 429]);
    const [admitted, refused] = [other[0].headers, other[3].headers];
    assert.strictEqual(admitted['ratelimit-policy'], '"/other";q=3;w=60');
    assert.match(admitted.ratelimit, /^"\/other";r=2;t=(19|20)$/);
    assert.strictEqual(admitted['retry-after'], undefined);
    assert.strictEqual(refused['ratelimit-policy'], '"/other";q=3;w=60');
    assert.match(refused.ratelimit, /^"\/other";r=0;t=(59|60)$/);
    assert.match(refused['retry-after'], /^(19|20)$/);
  }],
  ['a shared name shares one count', {}, async ({ sendAll }) => {
    const statuses = (await sendAll([['GET', '/a'], ['GET', '/b'], ['GET', '/a'], ['GET', '/b']]))
      .map((r) => r.status);
    assert.deepStrictEqual(statuses, [200, 200, 429, 429]);
  }],
  ['the default limit covers every route without a limit of its own', {}, async ({ sendAll }) => {
    const runs = await sendAll([['GET', '/page'], ['GET', '/nowhere'], ['GET', '/page'], ['GET', '/nowhere'],
      ['GET', '/page'], ...times(6, ['GET', '/health']), ['GET', '/items']]);
    assert.deepStrictEqual(runs.map((r) => r.status), [200, 404, 200, 404, 429, ...times(6, 200), 200]);
    assert.ok(runs.slice(5, 11).every((r) => r.headers.ratelimit === undefined));
  }],
  ['case and prefix variants count where the framework routes them', {}, async ({ sendAll }, host) => {
    // Express routes /LOGIN, /Login and /login/ to the login route; Fastify
    // routes none of them there, so they, like /login-help, meet the default.
    const variants = await sendAll(['/LOGIN', '/Login', '/login/', '/login-help'].map((url) => ['POST', url]));
    const routed = host === 'express' ? 3 : 0;
    assert.deepStrictEqual(variants.map((r) => r.status), [...times(routed, 401), ...times(4 - routed, 404)]);
    const logins = await sendAll(times(6, login()));
    assert.deepStrictEqual(logins.map((r) => r.status), [...times(5 - routed, 401), ...times(1 + routed, 429)]);
    assert.deepStrictEqual(json(logins[5]), SHAPED);
    const page = await sendAll([['GET', '/page']]);
    assert.strictEqual(page[0].status, host === 'express' ? 200 : 429);
  }],
  ['count failed: of 20 concurrent failing logins, 5 reach the handler', {}, async ({ send, sendAll }) => {
    assert.deepStrictEqual((await sendAll(times(8, login('right')))).map((r) => r.status), times(8, 200));
    const burst = await Promise.all(times(20, login()).map(send));
    const failed = burst.filter((r) => r.status === 401);
    const refused = burst.filter((r) => r.status === 429);
    assert.deepStrictEqual([failed.length, refused.length], [5, 15]);
    assert.ok(failed.every((r) => r.body === JSON.stringify(FAILED_LOGIN)));
    for (const r of refused) {
      assert.deepStrictEqual(json(r), SHAPED);
      assert.match(r.headers['retry-after'], /^1[12]$/);
      assert.match(r.headers.ratelimit, /^"\/login";r=0;t=(59|60)$/);
    }
    assert.strictEqual((await send(login('right'))).status, 429);
  }],
  ['limits off in a test configuration', { enabled: false }, async ({ sendAll }) => {
    const runs = await sendAll([...times(5, ['GET', '/other']), ...times(7, login()),
      ...times(5, ['GET', '/page'])]);
    assert.deepStrictEqual(runs.map((r) => r.status), [...times(5, 200), ...times(7, 401), ...times(5, 200)]);
    assert.ok(runs.every((r) => r.headers.ratelimit === undefined));
  }],
];

let zoneCount = 0;
for (const [hostName, start] of Object.entries(HOSTS)) {
  const skip = hostName.endsWith('Redis') && !haveRedisServer && 'no redis-server';
  test(`${hostName}: route limits, default limit, counts and refusals`, { skip }, async (t) => {
    for (const [name, options, run] of CASES) {
      await t.test(name, async () => {
        const zone = hostName === 'express' ? `vorn-frameworks-${process.pid}-${zoneCount++}` : undefined;
        const server = await start({ ...options, zone });
        const pids = new Set();
        const send = async (step) => {
          const reply = await ask(server.port, step);
          pids.add(reply.headers['x-worker-pid']);
          return reply;
        };
        const sendAll = async (steps) => {
          const replies = [];
          for (const step of steps) replies.push(await send(step));
          return replies;
        };
        try {
          await run({ send, sendAll }, hostName);
          // The Express counts were exact across both workers, which both answered.
          assert.strictEqual(pids.size, hostName === 'express' ? WORKERS : 1);
        } finally {
          await server.stop();
          if (zone) removeZone(zone);
        }
      });
    }
  });
}
