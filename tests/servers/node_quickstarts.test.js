'use strict';
// The Node quick starts of examples/ (Express, Fastify, node:http) as users run
// them, with require('vorn') resolving to this checkout: each on its own
// loopback port, until its limit refuses.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');

const repoRoot = path.join(__dirname, '..', '..');

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// Starts examples/<file> with PORT set; resolves with its base URL and stop().
async function start(file, scratch) {
  const port = await freePort();
  const child = spawn(process.execPath, [path.join(repoRoot, 'examples', file)], {
    env: { ...process.env, PORT: String(port), NODE_PATH: path.join(scratch, 'node_modules'),
      XDG_RUNTIME_DIR: scratch },
    stdio: ['ignore', 'ignore', 'inherit'],
  });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  const stop = () => { child.kill('SIGTERM'); return exited; };
  const base = `http://127.0.0.1:${port}`;
  for (let tries = 0; tries < 500; tries++) {
    if (child.exitCode !== null) throw new Error(`${file} exited ${child.exitCode}`);
    try {
      await fetch(`${base}/health-of-the-test`);
      return { base, stop };
    } catch {
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
  }
  await stop();
  throw new Error(`${file} did not listen`);
}

async function statuses(base, url, count, method = 'GET') {
  const seen = [];
  for (let i = 0; i < count; i++) {
    const res = await fetch(base + url, { method, headers: { connection: 'close' } });
    await res.text();
    seen.push(res.status);
  }
  return seen;
}

const times = (count, status) => Array.from({ length: count }, () => status);

// [example, checks(base)]: the readiness probe above spent one of the default.
const QUICK_STARTS = [
  ['express_quickstart.js', async (base) => {
    assert.deepStrictEqual(await statuses(base, '/login', 6, 'POST'), [...times(5, 401), 429]);
    assert.deepStrictEqual(await statuses(base, '/api/items', 2), [200, 200]);
    assert.deepStrictEqual(await statuses(base, '/nowhere', 100), [...times(99, 404), 429]);
  }],
  ['fastify_quickstart.js', async (base) => {
    assert.deepStrictEqual(await statuses(base, '/login', 6, 'POST'), [...times(5, 401), 429]);
    assert.deepStrictEqual(await statuses(base, '/health', 3), times(3, 200));
    assert.deepStrictEqual(await statuses(base, '/', 100), [...times(99, 200), 429]);
  }],
  ['http_quickstart.js', async (base) => {
    assert.deepStrictEqual(await statuses(base, '/', 100), [...times(99, 200), 429]);
  }],
];

test('the Node quick starts run and limit', async (t) => {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-quickstarts-'));
  fs.mkdirSync(path.join(scratch, 'node_modules'));
  fs.symlinkSync(repoRoot, path.join(scratch, 'node_modules', 'vorn'));
  try {
    for (const [file, check] of QUICK_STARTS) {
      await t.test(file, async () => {
        const server = await start(file, scratch);
        try {
          await check(server.base);
        } finally {
          await server.stop();
        }
      });
    }
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
});
