'use strict';
// An Express cluster of WORKERS processes (argv[2]) whose one limit counts every
// request to /hit, 200 an hour a client, with vorn's metrics on /metrics. With
// VORN_TEST_ZONE the limit is on that zone (in VORN_TEST_ZONE_DIR) and every
// worker serves the metrics of the whole machine; without, engines are in
// process and the primary serves prom-client's AggregatorRegistry on the port
// in VORN_TEST_METRICS_PORT. The primary prints "listening PORT" once every
// worker listens, and stops when its standard input closes.
const cluster = require('node:cluster');
const http = require('node:http');
const path = require('node:path');
const client = require('prom-client');

const vorn = require(path.join(__dirname, '..', '..', 'js', 'index.js'));

const workers = Number(process.argv[2] || 4);
const zone = process.env.VORN_TEST_ZONE;

if (cluster.isPrimary) {
  let listening = 0;
  cluster.on('listening', (worker, address) => {
    listening += 1;
    if (listening === workers) console.log(`listening ${address.port}`);
  });
  for (let i = 0; i < workers; i += 1) cluster.fork();
  if (!zone) {
    const aggregator = new client.AggregatorRegistry();
    http.createServer(async (req, res) => {
      res.setHeader('Content-Type', aggregator.contentType);
      res.end(await aggregator.clusterMetrics());
    }).listen(Number(process.env.VORN_TEST_METRICS_PORT), '127.0.0.1');
  }
  const stop = () => {
    for (const worker of Object.values(cluster.workers)) worker.process.kill('SIGTERM');
    process.exit(0);
  };
  process.stdin.resume();
  process.stdin.on('end', stop);
  process.on('SIGTERM', stop);
} else {
  const express = require('express');
  const store = zone ? { zone, zoneDir: process.env.VORN_TEST_ZONE_DIR } : {};
  // Through an aggregator each worker tells only its own counts, which it adds up.
  vorn.metrics.register(client.register, { perProcess: !zone });
  const app = express();
  app.get('/hit', vorn.rateLimit({ limit: '200/hour', algorithm: 'fixed_window', shared: 'hits',
    mode: process.env.VORN_TEST_MODE || 'active', ...store }), (req, res) => res.send('ok'));
  app.get('/metrics', async (req, res) => {
    res.set('Content-Type', client.register.contentType).send(await client.register.metrics());
  });
  app.listen(0, '127.0.0.1');
  process.on('SIGTERM', () => process.exit(0));
}
