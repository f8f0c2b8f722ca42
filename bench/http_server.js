'use strict';
// One server of bench/http_bench.js: a trivial "ok" answer, bare or behind a
// rate limiter, on a loopback port. It listens on the IPv4-mapped loopback
// address, so that every client address reads "::ffff:127.0.0.1", as it does
// on a server listening on "::" (Node's default) for every IPv4 client.
// Usage: node bench/http_server.js VARIANT BUILDDIR   (prints the port once ready)
const http = require('node:http');
const path = require('node:path');

const [variant, builddir] = process.argv.slice(2);
const repo = path.join(__dirname, '..');
const peer = (name) => require(path.join(__dirname, 'node_modules', name));
const BODY = 'ok\n';
// Limits far above what a run sends: every request is admitted and counted.
const CAPACITY = 1e6;

function vornLimiter(headers = 'draft') {
  const { VornNode } = require(path.join(builddir, 'node', 'vorn_native.node'));
  const { createRateLimiter } = require(path.join(repo, 'js', 'middleware.js'));
  return createRateLimiter({
    engine: new VornNode({ capacity: CAPACITY, refillRate: CAPACITY }), headers,
  });
}

function plainHandler(req, res) {
  res.end(BODY);
}

// Node's own introductory example: it sets the type of what it sends.
function helloHandler(req, res) {
  res.statusCode = 200;
  res.setHeader('Content-Type', 'text/plain');
  res.end(BODY);
}

function expressApp(limiter) {
  const express = require(path.join(repo, 'node_modules', 'express'));
  const app = express();
  app.disable('x-powered-by');
  app.disable('etag');
  if (limiter) app.use(limiter);
  app.get('/', (req, res) => res.send(BODY));
  return app;
}

const variants = {
  plain: () => plainHandler,
  vorn: () => vornLimiter().wrap(plainHandler),
  hello: () => helloHandler,
  'hello+vorn': () => vornLimiter().wrap(helloHandler),
  // The same without the rate-limit fields: what the check itself costs.
  'vorn, no fields': () => vornLimiter(null).wrap(plainHandler),
  'rate-limiter-flexible': () => {
    const { RateLimiterMemory } = peer('rate-limiter-flexible');
    const limiter = new RateLimiterMemory({ points: CAPACITY, duration: 1 });
    return (req, res) => {
      limiter.consume(req.socket.remoteAddress).then(() => res.end(BODY), () => {
        res.writeHead(429);
        res.end();
      });
    };
  },
  express: () => expressApp(null),
  'express+vorn': () => expressApp(vornLimiter()),
  'express+express-rate-limit': () => {
    const { rateLimit } = peer('express-rate-limit');
    return expressApp(rateLimit({
      windowMs: 60_000, limit: CAPACITY, standardHeaders: 'draft-7', legacyHeaders: false,
    }));
  },
};

const make = variants[variant];
if (!make) throw new Error(`unknown variant ${variant}`);
const server = http.createServer(make());
server.keepAliveTimeout = 60_000;
server.listen(0, '::ffff:127.0.0.1', () => process.stdout.write(`${server.address().port}\n`));
process.on('SIGTERM', () => server.close(() => process.exit(0)));
