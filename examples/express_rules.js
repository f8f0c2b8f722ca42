'use strict';
// An Express application with three limits (run: node examples/express_rules.js [port]):
// - POST /login: 2 per minute per client (fixed window), named "login";
// - /api/: 4 per client, one back every 2 s, named "api";
// - everything: 6 per client, one back every 10 s, named "global";
// - /health is never limited.
// Behind a proxy on this host (127.0.0.1 or ::1) the X-Forwarded-For client is
// the key; an IPv6 client is keyed by its /56. Answers carry RateLimit-Policy
// and RateLimit; refusals are 429 with Retry-After and a JSON body.
const express = require('express');
const { createRateLimiter } = require('..');

function createApp() {
  const app = express();
  app.use(createRateLimiter({
    rules: [
      { config: { algorithm: 'fixed_window', capacity: 2 }, path: '/login', methods: ['POST'], name: 'login' },
      { config: { capacity: 4, refillRate: 0.5 }, path: '/api/', name: 'api' },
      { config: { capacity: 6, refillRate: 0.1 }, name: 'global' },
    ],
    trustedProxies: ['127.0.0.1', '::1'],
    skip: (req) => req.path === '/health',
    onRefused: (req, res) => res.status(429).json({ error: 'too many requests' }),
  }));
  app.all('/{*path}', (req, res) => res.type('text').send(`ok ${req.path}\n`));
  return app;
}

if (require.main === module) {
  const port = Number(process.argv[2] || 3000);
  createApp().listen(port, '127.0.0.1', () => console.log(`listening on 127.0.0.1:${port}`));
}

module.exports = { createApp };
