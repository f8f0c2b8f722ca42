'use strict';
// A node:http cluster for the container test: WORKERS processes (argv[2]) serve
// vorn's middleware (limit.wrap) on one loopback port, each with a VornZoneNode
// on the zone VORN_TEST_ZONE (capacity VORN_TEST_CAPACITY, no refill, every
// size at its default), keyed on the X-Client header so that one load
// generator can play any number of clients. Every answer carries the worker's
// pid in X-Worker-Pid; the zone's warnings go to standard error, each after the
// pid of the worker that logged it. /state answers outside the limiter with
// what the worker sees of the zone, read inside the server's mount namespace:
// whether the engine is degraded, the zone's counters, and which files of the
// zone's name the worker has mapped (its /proc/self/maps) against the one the
// name holds now.
//
// The primary prints "listening PORT" once every worker listens and
// "exit PID CODE-OR-SIGNAL" for each worker that ends before it is stopped; it
// stops the workers and exits when its standard input closes or on SIGTERM.
const cluster = require('node:cluster');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const workers = Number(process.argv[2] || 4);

if (cluster.isPrimary) {
  let listening = 0;
  let stopping = false;
  cluster.on('listening', (worker, address) => {
    listening += 1;
    if (listening === workers) console.log(`listening ${address.port}`);
  });
  cluster.on('exit', (worker, code, signal) => {
    if (!stopping) console.log(`exit ${worker.process.pid} ${signal || code}`);
  });
  const stop = () => {
    stopping = true;
    for (const worker of Object.values(cluster.workers)) worker.process.kill('SIGKILL');
    process.exit(0);
  };
  for (let i = 0; i < workers; i += 1) cluster.fork();
  process.stdin.resume();
  process.stdin.on('end', stop);
  process.on('SIGTERM', stop);
} else {
  const { VornZoneNode, zoneStats } = require(process.env.VORN_NODE_ADDON);
  const { createRateLimiter } = require(path.join(__dirname, '..', '..', 'js', 'middleware.js'));
  const zone = process.env.VORN_TEST_ZONE;
  const engine = new VornZoneNode({
    capacity: Number(process.env.VORN_TEST_CAPACITY),
    refillRate: 0,
    zone,
    logger: { warn: (message) => process.stderr.write(`${process.pid} vorn.zone ${message}\n`) },
  });
  const zonePath = zoneStats(zone).path;
  const limit = createRateLimiter({
    engine, headers: null, identity: (req) => req.headers['x-client'],
  });
  const hello = limit.wrap((req, res) => res.end('hello\n'));

  const state = () => {
    let stats;
    try {
      stats = zoneStats(zone);
    } catch (error) {  // missing or damaged right now
      stats = { error: error.message };
    }
    let named = null;
    try {
      named = fs.statSync(zonePath).ino;
    } catch (error) {
      if (error.code !== 'ENOENT') throw error;
    }
    // A line's sixth field is the file; a removed one is followed by "(deleted)".
    const mapped = new Set();
    for (const line of fs.readFileSync('/proc/self/maps', 'utf8').split('\n')) {
      const fields = line.split(/\s+/);
      if (fields[5] === zonePath) mapped.add(Number(fields[4]));
    }
    return { pid: process.pid, degraded: engine.degraded, stats, named,
      mapped: [...mapped].sort((a, b) => a - b) };
  };

  const server = http.createServer((req, res) => {
    res.setHeader('X-Worker-Pid', String(process.pid));
    if (req.url === '/state') {
      res.setHeader('Content-Type', 'application/json');
      res.end(JSON.stringify(state()));
    } else {
      hello(req, res);
    }
  });
  // The test keeps one connection to each worker for the whole run.
  server.keepAliveTimeout = 120000;
  // Port 0 in a cluster: every worker shares the one port the primary picks.
  server.listen(0, '127.0.0.1');
  process.on('SIGTERM', () => process.exit(0));
}
