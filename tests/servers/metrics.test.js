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
