'use strict';
// The demo's Node side: a real node:http server on loopback, one rate-limited
// handler per run of the demo.
//
// Usage: node demo_server.js RUNS_JSON [WORKERS]. Each run {name, algorithm,
// mode, capacity, refillRate, and optionally zone} is served under /<name>/
// through vorn's middleware. With WORKERS above 1, a node:cluster of that many
// worker processes shares the port, each with its own engines. Prints
// "listening HOST:PORT" once it accepts requests, and exits when its standard
// input closes (so it never outlives the demo) or on SIGTERM.
const cluster = require('node:cluster');
const http = require('node:http');
const path = require('node:path');
const { createRateLimiter } = require('../js/middleware');

const addonPath = process.env.VORN_NODE_ADDON ||
  path.join(__dirname, '..', 'build', 'node', 'vorn_native.node');
const workers = Number(process.argv[3] || 1);

function serve() {
  const { VornNode, VornZoneNode } = require(addonPath);
  const limiters = new Map();
  for (const run of JSON.parse(process.argv[2])) {
    const config = {
      algorithm: run.algorithm, mode: run.mode, capacity: run.capacity, refillRate: run.refillRate,
    };
    const engine = run.zone ? new VornZoneNode({ ...config, zone: run.zone }) : new VornNode(config);
    limiters.set(run.name, createRateLimiter({ engine }));
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
  // In a cluster, port 0 gives every worker the one port the primary picked.
  server.listen(0, '127.0.0.1', () => {
    if (cluster.isPrimary) console.log(`listening 127.0.0.1:${server.address().port}`);
  });
}

function hello(req, res) {
  // The middleware left the addon's answer on req.vorn; in shadow mode it tells
  // the caller whether this request would have been refused.
  res.writeHead(200, {
    'Content-Type': 'text/plain',
    'X-Would-Block': req.vorn.wouldBlock ? '1' : '0',
    'X-Worker-Pid': String(process.pid),
  });
  res.end('hello\n');
}

if (workers > 1 && cluster.isPrimary) {
  let listening = 0;
  cluster.on('listening', (worker, address) => {
    listening += 1;
    if (listening === workers) console.log(`listening 127.0.0.1:${address.port}`);
  });
  for (let i = 0; i < workers; i += 1) cluster.fork();
} else {
  serve();
}
process.stdin.resume();
process.stdin.on('end', () => process.exit(0));
process.on('SIGTERM', () => process.exit(0));
