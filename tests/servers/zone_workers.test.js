'use strict';
// One limit across a node:http cluster of 4 workers on a shared-memory zone,
// against the real servers on loopback; without a zone each worker admits its
// own allowance. Needs VORN_NODE_ADDON (the built addon); removes its zone.
const test = require('node:test');
const assert = require('node:assert');
const http = require('node:http');
const path = require('node:path');
const { spawn } = require('node:child_process');

const addonPath = path.resolve(process.env.VORN_NODE_ADDON ||
  path.join(__dirname, '..', '..', 'build', 'node', 'vorn_native.node'));
const { removeZone, zoneStats } = require(addonPath);

const CAPACITY = 50;
const REQUESTS = 200;
const CLIENTS = 4;
const WORKERS = 4;

// Starts the cluster; resolves with { port, stop } once every worker listens.
function startCluster(config) {
  const child = spawn(process.execPath, [path.join(__dirname, 'zone_http_cluster.js'), String(WORKERS)], {
    env: { ...process.env, VORN_NODE_ADDON: addonPath, VORN_TEST_CONFIG: JSON.stringify(config) },
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  const stop = () => {
    child.stdin.end();
    return exited;
  };
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => { stop(); reject(new Error('the cluster did not start')); }, 30000);
    let output = '';
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const match = /^listening (\d+)$/m.exec(output);
      if (match) {
        clearTimeout(timer);
        resolve({ port: Number(match[1]), stop });
      }
    });
    child.once('exit', (code) => { clearTimeout(timer); reject(new Error(`cluster exited ${code}`)); });
  });
}

// One request on a new connection: { status, pid }.
function get(port) {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port, path: '/items', agent: false, timeout: 10000 },
      (res) => {
        res.resume();
        res.on('end', () => resolve({ status: res.statusCode, pid: res.headers['x-worker-pid'] }));
      });
    req.on('timeout', () => req.destroy(new Error('request timed out')));
    req.on('error', reject);
  });
}

// REQUESTS requests from CLIENTS concurrent clients.
async function burst(port) {
  const answers = [];
  let next = 0;
  const client = async () => {
    while (next < REQUESTS) {
      next += 1;
      answers.push(await get(port));
    }
  };
  await Promise.all(Array.from({ length: CLIENTS }, client));
  assert.deepStrictEqual([...new Set(answers.map((a) => a.status))].filter((s) => s !== 200 && s !== 429), []);
  return {
    admitted: answers.filter((a) => a.status === 200).length,
    workers: new Set(answers.map((a) => a.pid)).size,
  };
}

test('node cluster workers on a zone share one limit, which outlives the cluster',
  { timeout: 60000 }, async (t) => {
    const zone = `vorn-test-${process.pid}-cluster`;
    removeZone(zone);
    t.after(() => removeZone(zone));
    const config = { capacity: CAPACITY, refillRate: 0, zone };
    const cluster = await startCluster(config);
    const answers = await burst(cluster.port).finally(cluster.stop);
    assert.ok(answers.workers > 1, 'more than one worker answered');
    assert.strictEqual(answers.admitted, CAPACITY);
    assert.strictEqual(zoneStats(zone).keys, 1);

    const restarted = await startCluster(config);
    const again = await get(restarted.port).finally(restarted.stop);
    assert.strictEqual(again.status, 429);
  });

test('node cluster workers without a zone each admit their own allowance',
  { timeout: 60000 }, async () => {
    const cluster = await startCluster({ capacity: CAPACITY, refillRate: 0 });
    const answers = await burst(cluster.port).finally(cluster.stop);
    assert.ok(answers.workers > 1, 'more than one worker answered');
    assert.ok(answers.admitted > CAPACITY, `${answers.admitted} admitted`);
  });
