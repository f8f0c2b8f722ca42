'use strict';
// One small app written for Express and for Fastify with vorn's own forms, for
// the real-server tests (framework_cases.js):
// - POST /login: 5/minute of its own, counting failed logins only (a login
//   fails, 401, unless X-Password is "right"); its refusals go through the
//   framework's error handler, which answers {"error":"slow down"};
// - GET /items: 3/minute of its own per X-User (else per address);
// - GET /other: 3/minute of its own: the same text as /items, its own counts;
// - GET /a and GET /b: 2/minute shared by both, under the name "pair";
// - GET /health: no limit;
// - everything else (GET /page, unknown URLs): the default 4/minute.
// Every answer carries X-Worker-Pid. `options.zone` keeps the counts in that
// zone (Fastify: or options.redis, a URL, under options.redisPrefix);
// `options.enabled` false turns every limit off.
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const { rateLimit, defaultLimit, RateLimitError } = require(root);

const FAILED_LOGIN = { error: 'wrong password' };
const SHAPED = { error: 'slow down' };

function expressApp({ zone, enabled = true } = {}) {
  const express = require('express');
  const store = zone ? { zone, enabled } : { enabled };
  const app = express();
  app.use((req, res, next) => { res.setHeader('X-Worker-Pid', String(process.pid)); next(); });
  app.use(defaultLimit({ limit: '4/minute', ...store, skip: (req) => req.path === '/health' }));
  app.post('/login', rateLimit({
    limit: '5/minute', count: 'failed', ...store,
    onRefused: (req, res, result, next) => next(new RateLimitError(result)),
  }), (req, res) => {
    if (req.get('x-password') === 'right') res.json({ ok: true });
    else res.status(401).json(FAILED_LOGIN);
  });
  app.get('/items', rateLimit({ limit: '3/minute', key: (req) => req.get('x-user'), ...store }),
    (req, res) => res.json({ left: req.vorn && req.vorn.remaining }));
  app.get('/other', rateLimit({ limit: '3/minute', ...store }), (req, res) => res.send('other'));
  const pair = rateLimit({ limit: '2/minute', shared: 'pair', ...store });
  app.get('/a', pair, (req, res) => res.send('a'));
  app.get('/b', rateLimit({ limit: '2/minute', shared: 'pair', ...store }), (req, res) => res.send('b'));
  app.get('/health', (req, res) => res.send('ok'));
  app.get('/page', (req, res) => res.send('page'));
  app.use((err, req, res, next) => {
    if (err.status === 429) res.status(429).json(SHAPED);
    else next(err);
  });
  return app;
}

async function fastifyApp({ zone, redis, redisPrefix, enabled = true } = {}) {
  const app = require('fastify')();
  app.addHook('onRequest', async (request, reply) => { reply.header('X-Worker-Pid', String(process.pid)); });
  const store = zone ? { zone } : redis ? { redis, redisPrefix } : {};
  await app.register(require(path.join(root, 'fastify')), { limit: '4/minute', enabled, ...store });
  app.setErrorHandler((error, request, reply) => {
    if (error.statusCode === 429) reply.send(SHAPED);
    else reply.send(error);
  });
  const login = { config: { rateLimit: { limit: '5/minute', count: 'failed' } } };
  app.post('/login', login, async (request, reply) => {
    if (request.headers['x-password'] === 'right') return { ok: true };
    return reply.code(401).send(FAILED_LOGIN);
  });
  const items = { config: { rateLimit: { limit: '3/minute', key: (request) => request.headers['x-user'] } } };
  app.get('/items', items,
    async (request) => ({ left: request.vorn && request.vorn.remaining }));
  app.get('/other', { config: { rateLimit: '3/minute' } }, async () => 'other');
  app.get('/a', { config: { rateLimit: { limit: '2/minute', shared: 'pair' } } }, async () => 'a');
  app.get('/b', { config: { rateLimit: { limit: '2/minute', shared: 'pair' } } }, async () => 'b');
  app.get('/health', { config: { rateLimit: false } }, async () => 'ok');
  app.get('/page', async () => 'page');
  return app;
}

module.exports = { expressApp, fastifyApp, FAILED_LOGIN, SHAPED };
