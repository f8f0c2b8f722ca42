'use strict';
// A node:http cluster for the worker tests: WORKERS processes (argv[2]) serve
// vorn's middleware (limit.wrap) on one loopback port, each with its own engine
// built from the JSON NodeConfig in VORN_TEST_CONFIG: a VornZoneNode when it
// names a zone, else a VornNode. Every answer carries the worker's pid in
// X-Worker-Pid. The primary prints "listening PORT" once every worker listens,
// and stops the workers and exits when its standard input closes or on SIGTERM.
const cluster = require('node:cluster');
const http = require('node:http');
const path = require('node:path');
const { createRateLimiter } = require(path.join(__dirname, '..', '..', 'js', 'middleware.js'));

const workers = Number(process.argv[2] || 4);

if (cluster.isPrimary) {
  let listening = 0;
  cluster.on('listening', (worker, address) => {
    listening += 1;
    if (listening === workers) console.log(`listening ${address.port}`);
  });
  cluster.on('exit', (worker, code, signal) => {
    if (!stopping) {
      console.error(`worker ${worker.process.pid} died (${signal || code})`);
      process.exit(1);
    }
  });
  let stopping = false;
  const stop = () => {
    stopping = true;
    for (const worker of Object.values(cluster.workers)) worker.process.kill('SIGTERM');
    process.exit(0);
  };
  for (let i = 0; i < workers; i += 1) cluster.fork();
  process.stdin.resume();
  process.stdin.on('end', stop);
  process.on('SIGTERM', stop);
} else {
  const addon = require(process.env.VORN_NODE_ADDON);
  const config = JSON.parse(process.env.VORN_TEST_CONFIG);
  const engine = config.zone ? new addon.VornZoneNode(config) : new addon.VornNode(config);
  const limit = createRateLimiter({ engine });
  const server = http.createServer((req, res) => {
    res.setHeader('X-Worker-Pid', String(process.pid));
    limit.wrap((_req, answer) => answer.end('hello\n'))(req, res);
  });
  // Port 0 in a cluster: every worker shares the one port the primary picks.
  server.listen(0, process.env.VORN_TEST_HOST || '127.0.0.1');
  process.on('SIGTERM', () => process.exit(0));
}
