'use strict';
// What the Node Redis server tests share: a throwaway redis-server on a free
// loopback port, the limiter case table, and the package with the built addon
// (VORN_NODE_ADDON, default <repo>/build/node/vorn_native.node).
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');

const repoRoot = path.resolve(__dirname, '..', '..');
const addonPath = path.resolve(process.env.VORN_NODE_ADDON ||
  path.join(repoRoot, 'build', 'node', 'vorn_native.node'));
const CASES_BASE_MS = 1700000000000;
const haveRedisServer = spawnSync('redis-server', ['--version']).status === 0;

// The package as an application loads it, with the addon under test put where
// js/index.js looks first.
function loadVorn() {
  const { VornNode } = require(addonPath);
  const { RedisEngine, keyDigest } = require(path.join(repoRoot, 'js', 'redis_engine.js'));
  const middleware = require(path.join(repoRoot, 'js', 'middleware.js'));
  const createEngine = (config) => (config.redis != null
    ? new RedisEngine(config, VornNode) : new VornNode(config));
  return { VornNode, RedisEngine, createEngine, middleware, keyDigest };
}

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

const pause = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

// One redis-server without persistence; start() resolves once it accepts
// connections, kill() takes it down hard, start() again brings it back.
class RedisServer {
  constructor(...extraArgs) {
    this.extraArgs = extraArgs;
    this.process = null;
  }

  get url() {
    return `redis://127.0.0.1:${this.port}/0`;
  }

  async start() {
    if (this.port === undefined) this.port = await freePort();
    this.process = spawn('redis-server', ['--port', String(this.port), '--bind', '127.0.0.1',
      '--save', '', '--appendonly', 'no', ...this.extraArgs], { stdio: 'ignore' });
    for (let tries = 0; tries < 500; tries++) {
      if (await this.accepts()) return this;
      await pause(20);
    }
    this.kill();
    throw new Error(`redis-server did not start on port ${this.port}`);
  }

  accepts() {
    return new Promise((resolve) => {
      const socket = net.connect(this.port, '127.0.0.1');
      socket.once('connect', () => { socket.destroy(); resolve(true); });
      socket.once('error', () => resolve(false));
    });
  }

  kill() {
    if (this.process === null) return Promise.resolve();
    const exited = new Promise((resolve) => this.process.once('exit', resolve));
    this.process.kill('SIGKILL');
    this.process = null;
    return exited;
  }
}

// [{ algorithm, capacity, refillRate, steps: [{ at, key, reason, remaining, message }] }]
function readCases() {
  const cases = [];
  const number = (text) => ({ inf: Infinity, '-inf': -Infinity, nan: NaN }[text] ?? Number(text));
  for (const line of fs.readFileSync(path.join(repoRoot, 'tests', 'limiter_cases.txt'), 'utf8')
    .split('\n')) {
    if (line === '' || line.startsWith('#')) continue;
    const fields = line.split(' ');
    if (fields[0] === 'case') {
      cases.push({ algorithm: fields[1], capacity: number(fields[2]),
        refillRate: number(fields[3]), steps: [] });
      continue;
    }
    cases[cases.length - 1].steps.push({ at: Number(fields[0]), key: fields[1],
      reason: fields[2], remaining: fields[3], message: fields.slice(4).join(' ') });
  }
  return cases;
}

module.exports = { CASES_BASE_MS, RedisServer, addonPath, haveRedisServer, loadVorn, pause,
  readCases, repoRoot };
