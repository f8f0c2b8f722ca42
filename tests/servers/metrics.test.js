'use strict';
// vorn's metrics under an Express cluster of 4 workers: one scrape tells every
// worker's checks, through the zone when the limit is on one (any worker
// answers), else through prom-client's AggregatorRegistry in the primary. Each
// exposition passes promtool when it is installed.
const test = require('node:test');
const assert = require('node:assert');
const { spawn, spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const CLUSTER = path.join(__dirname, 'metrics_cluster.js');
const promtool = spawnSync('sh', ['-c', 'command -v promtool']).stdout.toString().trim();

async function freePort() {
  const server = net.createServer().listen(0, '127.0.0.1');
  await new Promise((resolve) => server.once('listening', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

async function serve(t, env) {
  const child = spawn(process.execPath, [CLUSTER, '4'], {
    env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'inherit'],
  });
  t.after(() => { child.stdin.end(); child.kill(); });
  const port = await new Promise((resolve, reject) => {
    let output = '';
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const found = /listening (\d+)/.exec(output);
      if (found) resolve(Number(found[1]));
    });
    child.once('exit', (code) => reject(new Error(`cluster exited (${code})`)));
  });
  return port;
}

async function get(port, route) {
  const answer = await fetch(`http://127.0.0.1:${port}${route}`, { headers: { connection: 'close' } });
  return { status: answer.status, text: await answer.text() };
}

async function hits(port, count) {
  const statuses = [];
  for (let sent = 0; sent < count; sent += 10) {
    const batch = await Promise.all(Array.from({ length: 10 }, () => get(port, '/hit')));
    statuses.push(...batch.map((answer) => answer.status));
  }
  return statuses;
}

function requestsOf(exposition, limit) {
  const found = {};
  const pattern = new RegExp(`^vorn_requests_total\\{limit="${limit}",result="(\\w+)"\\} (\\S+)$`, 'gm');
  for (const [, result, value] of exposition.matchAll(pattern)) found[result] = Number(value);
  return found;
}

async function scrape(port) {
  const { status, text } = await get(port, '/metrics');
  assert.strictEqual(status, 200);
  if (promtool) {
    const checked = spawnSync(promtool, ['check', 'metrics'], { input: text });
    assert.strictEqual(checked.status, 0, `${checked.stdout}${checked.stderr}`);
  }
  return text;
}

test('a zone tells every worker\'s checks, whichever worker is scraped', async (t) => {
  const directory = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-metrics-'));
  t.after(() => fs.rmSync(directory, { recursive: true, force: true }));
  for (const [mode, refused] of [['active', 'refused'], ['shadow', 'shadow_refused']]) {
    const port = await serve(t, { VORN_TEST_ZONE: `m-${crypto.randomBytes(5).toString('hex')}`,
      VORN_TEST_ZONE_DIR: directory, VORN_TEST_MODE: mode });
    const statuses = await hits(port, 300);
    assert.strictEqual(statuses.filter((status) => status === 429).length, mode === 'active' ? 100 : 0);
    for (let scraped = 0; scraped < 4; scraped += 1) {
      const counts = requestsOf(await scrape(port), 'hits');
      assert.deepStrictEqual([counts.allowed, counts[refused]], [200, 100], mode);
    }
  }
});

test('in-process engines add up through the cluster aggregator', async (t) => {
  const metricsPort = await freePort();
  const port = await serve(t, { VORN_TEST_METRICS_PORT: String(metricsPort) });
  const statuses = await hits(port, 300);
  const counts = requestsOf(await scrape(metricsPort), 'hits');
  assert.strictEqual(counts.allowed, statuses.filter((status) => status === 200).length);
  assert.strictEqual(counts.allowed + counts.refused, 300);
});

test('a Redis killed under load: degraded, and the fallback answers counted', async (t) => {
  const { RedisServer, haveRedisServer, pause } = require('./redis_support');
  if (!haveRedisServer) return t.skip('redis-server is not installed');
  const { createEngine } = require(path.join(__dirname, '..', '..', 'js', 'index.js'));
  const { gather } = require(path.join(__dirname, '..', '..', 'js', 'metrics.js'));
  const server = await new RedisServer().start();
  t.after(() => server.kill());
  const engine = createEngine({ limit: '1000/minute', redis: server.url, redisTimeoutMs: 500 });
  t.after(() => engine.close());
  engine.nameCounts('outage');
  const check = async (times) => {
    for (let i = 0; i < times; i++) await engine.checkRequest('198.51.100.9', '/', Date.now());
  };
  await check(5);
  assert.strictEqual(gather().degraded.redis, false);
  const before = gather().fallback.redis;
  await server.kill();
  await check(10);
  assert.deepStrictEqual([gather().degraded.redis, gather().fallback.redis - before], [true, 10]);
  assert.strictEqual(gather().requests.get('outage')[0], 15);
  await server.start();
  for (let waited = 0; engine.degraded && waited < 10000; waited += 50) await pause(50);
  await check(1);
  assert.strictEqual(gather().degraded.redis, false);
  assert.strictEqual(engine.stats().fallback, 10);
});
