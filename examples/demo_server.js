'use strict';
// The demo's Node side: a real node:http server on loopback, one rate-limited
// handler per run of the demo.
//
// Usage: node demo_server.js RUNS_JSON. Each run {name, algorithm, mode,
// capacity, refillRate} is served under /<name>/ through vorn's middleware.
// Prints "listening HOST:PORT" once it accepts requests, and exits when its
// standard input closes (so it never outlives the demo) or on SIGTERM.
const http = require('node:http');
const path = require('node:path');
const { createRateLimiter } = require('../js/middleware');

const addonPath = process.env.VORN_NODE_ADDON ||
  path.join(__dirname, '..', 'build', 'node', 'vorn_native.node');
const { VornNode } = require(addonPath);

const limiters = new Map();
for (const run of JSON.parse(process.argv[2])) {
  const engine = new VornNode({
    algorithm: run.algorithm, mode: run.mode, capacity: run.capacity, refillRate: run.refillRate,
  });
  limiters.set(run.name, createRateLimiter({ engine }));
}

function hello(req, res) {
  // The middleware left the addon's answer on req.vorn; in shadow mode it tells
  // the caller whether this request would have been refused.
  res.writeHead(200, { 'Content-Type': 'text/plain', 'X-Would-Block': req.vorn.wouldBlock ? '1' : '0' });
  res.end('hello\n');
}

const server = http.createServer((req, res) => {
  const limiter = limiters.get(req.url.split('/')[1]);
  if (limiter === undefined) {
    res.writeHead(404, { 'Content-Type': 'text/plain' });
    res.end('no such run\n');
    return;
  }
  limiter(req, res, () => hello(req, res));
});
server.keepAliveTimeout = 1000;
server.listen(0, '127.0.0.1', () => {
  console.log(`listening 127.0.0.1:${server.address().port}`);
});
process.stdin.resume();
process.stdin.on('end', () => process.exit(0));
process.on('SIGTERM', () => process.exit(0));
