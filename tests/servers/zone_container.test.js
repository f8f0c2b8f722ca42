'use strict';
// A zone in a container's /dev/shm: a node:cluster of 4 workers, in a private
// mount namespace whose /dev/shm is a 64 MiB tmpfs (as Docker gives a
// container), serves 200,000 distinct clients on one zone of the default size;
// then the zone's file is truncated and later removed under load, and the
// workers must live through both, answer only 200 or 429 meanwhile, and be back
// on one shared zone within 5 s each time. Needs root (for the namespace and
// the mount) and skips without it; needs VORN_NODE_ADDON (the built addon).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');

const addonPath = path.resolve(process.env.VORN_NODE_ADDON ||
  path.join(__dirname, '..', '..', 'build', 'node', 'vorn_native.node'));

const WORKERS = 4;
const CAPACITY = 10;
const CLIENTS = 200000;
const LOAD_CONNECTIONS = 16;
const ZONE = 'container';
const BACK_WITHIN_MS = 5000;
// The mount is made inside the namespace, so it vanishes with the server.
const IN_CONTAINER = ['--mount', '--propagation', 'private', 'sh', '-c',
  'mount -t tmpfs -o size=64m tmpfs /dev/shm && exec "$@"', 'sh'];

// Why this machine cannot make the namespace, or false when it can.
function namespaceUnavailable() {
  if (process.getuid() !== 0) return 'needs root to make a mount namespace with its own /dev/shm';
  const made = spawnSync('unshare', [...IN_CONTAINER, 'true'],
    { encoding: 'utf8', timeout: 30000 });
  if (made.error) return `cannot run unshare: ${made.error.message}`;
  if (made.status !== 0) {
    return `unshare or mount failed here: ${(made.stdout + made.stderr).trim()}`;
  }
  return false;
}

// The pids of `pid`'s children, from /proc.
function children(pid) {
  const found = new Set();
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    let stat;
    try {
      stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
    } catch {
      continue;  // gone meanwhile
    }
    const parent = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
    if (parent === pid) found.add(Number(entry));
  }
  return found;
}

// The cluster in its own mount namespace: { pid, port, stdout(), stderr(), stop }.
function startCluster() {
  const env = { ...process.env, VORN_NODE_ADDON: addonPath, VORN_TEST_ZONE: ZONE,
    VORN_TEST_CAPACITY: String(CAPACITY) };
  delete env.XDG_RUNTIME_DIR;
  const child = spawn('unshare', [...IN_CONTAINER, process.execPath,
    path.join(__dirname, 'zone_container_cluster.js'), String(WORKERS)], { env });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (chunk) => { stdout += chunk; });
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  const stop = () => {
    child.stdin.end();
    return exited;
  };
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => { stop(); reject(new Error(`no start:\n${stderr}`)); }, 30000);
    child.stdout.on('data', () => {
      const match = /^listening (\d+)$/m.exec(stdout);
      if (!match) return;
      clearTimeout(timer);
      resolve({ pid: child.pid, port: Number(match[1]), stop,
        stdout: () => stdout, stderr: () => stderr });
    });
    child.once('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`exited ${code}:\n${stderr}`));
    });
  });
}

// One GET through `agent`: { status, pid, body }. A dropped connection rejects.
function get(port, agent, url, client) {
  return new Promise((resolve, reject) => {
    const headers = client === undefined ? {} : { 'x-client': client };
    const options = { host: '127.0.0.1', port, path: url, agent, headers, timeout: 10000 };
    const req = http.get(options, (res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (chunk) => { body += chunk; });
      res.on('end', () => resolve({
        status: res.statusCode, pid: Number(res.headers['x-worker-pid']), body }));
    });
    req.on('timeout', () => req.destroy(new Error('request timed out')));
    req.on('error', reject);
  });
}

// Requests as new clients from `first` on, LOAD_CONNECTIONS at a time on
// kept-alive connections, until `count` are sent or stop(). Statuses are
// counted; a failed request ends its loop and is kept in `errors`.
function startLoad(port, first, count = Infinity) {
  const agent = new http.Agent({ keepAlive: true, maxSockets: LOAD_CONNECTIONS });
  const load = { statuses: {}, errors: [], answered: 0, stopped: false };
  let next = first;
  const loop = async () => {
    while (next < first + count && !load.stopped) {
      next += 1;
      try {
        const { status } = await get(port, agent, '/items', `c${next - 1}`);
        load.statuses[status] = (load.statuses[status] || 0) + 1;
        load.answered += 1;
      } catch (error) {
        load.errors.push(error.message);
        return;
      }
    }
  };
  const done = Promise.all(Array.from({ length: LOAD_CONNECTIONS }, loop))
    .finally(() => agent.destroy());
  load.finished = () => done.then(() => load);
  load.stop = () => { load.stopped = true; return load.finished(); };
  load.waitFor = async (requests) => {
    const target = load.answered + requests;
    while (load.answered < target && load.errors.length === 0) {
      await new Promise((resolve) => setTimeout(resolve, 10));
    }
  };
  return load;
}

// A kept-alive connection to each worker: the cluster's primary hands new
// connections to its workers in turn, and a connection stays with its worker.
async function oneConnectionPerWorker(port) {
  const pinned = new Map();
  for (let i = 0; pinned.size < WORKERS; i += 1) {
    assert.ok(i < 10 * WORKERS, `only workers ${[...pinned.keys()]} answered`);
    const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
    const { pid } = await get(port, agent, '/state');
    if (pinned.has(pid)) agent.destroy();
    else pinned.set(pid, agent);
  }
  return [...pinned];
}

// Requests from one client spread over every worker in turn: exactly CAPACITY
// are admitted when they all answer from one shared state.
async function admittedAcrossWorkers(port, pinned, client) {
  let admitted = 0;
  for (let round = 0; round < 5; round += 1) {
    for (const [pid, agent] of pinned) {
      const answer = await get(port, agent, '/items', client);
      assert.strictEqual(answer.pid, pid, 'the connection stayed with its worker');
      assert.ok([200, 429].includes(answer.status), `status ${answer.status}`);
      if (answer.status === 200) admitted += 1;
    }
  }
  return admitted;
}

// Within BACK_WITHIN_MS every worker has mapped only the file the zone's name
// holds, and then counts one client exactly across them.
async function assertBackOnOneZone(port, pinned, label) {
  const deadline = Date.now() + BACK_WITHIN_MS;
  for (;;) {
    const states = await Promise.all(pinned.map(([, agent]) =>
      get(port, agent, '/state').then((answer) => JSON.parse(answer.body))));
    if (states.every((s) => !s.degraded && s.named !== null &&
        s.mapped.length === 1 && s.mapped[0] === s.named)) break;
    assert.ok(Date.now() < deadline, `${label}: ${JSON.stringify(states)}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  for (const client of [label, `${label}-again`]) {
    assert.strictEqual(await admittedAcrossWorkers(port, pinned, client), CAPACITY, client);
  }
}

test('cluster workers fill a zone in a 64 MiB /dev/shm and outlive its truncation and removal',
  { skip: namespaceUnavailable(), timeout: 120000 }, async (t) => {
    const cluster = await startCluster();
    t.after(cluster.stop);
    const workers = children(cluster.pid);
    assert.strictEqual(workers.size, WORKERS);
    const pinned = await oneConnectionPerWorker(cluster.port);
    t.after(() => pinned.forEach(([, agent]) => agent.destroy()));
    const nsenter = (...command) => {
      const ran = spawnSync('nsenter', [`--mount=/proc/${cluster.pid}/ns/mnt`, ...command],
        { encoding: 'utf8', timeout: 30000 });
      assert.strictEqual(ran.status, 0, ran.stderr);
    };

    let load = await startLoad(cluster.port, 0, CLIENTS).finished();
    assert.deepStrictEqual(load.errors, []);
    assert.deepStrictEqual(load.statuses, { 200: CLIENTS });
    const { stats } = JSON.parse((await get(cluster.port, pinned[0][1], '/state')).body);
    assert.match(stats.path, /^\/dev\/shm\//);
    assert.strictEqual(stats.sizeBytes, 32 * 1024 * 1024, 'the default fits a 64 MiB /dev/shm');
    // Each client came once: a state is held, evicted, or reclaimed.
    assert.strictEqual(stats.keys + stats.evictions + stats.reclaimed, CLIENTS,
      JSON.stringify(stats));
    assert.ok(stats.keys > CLIENTS * 0.99, JSON.stringify(stats));

    load = startLoad(cluster.port, CLIENTS);
    try {
      await load.waitFor(2000);
      nsenter('truncate', '-s', '40000', stats.path);
      await load.waitFor(2000);
      await assertBackOnOneZone(cluster.port, pinned, 'after-truncation');
      nsenter('rm', stats.path);
      await assertBackOnOneZone(cluster.port, pinned, 'after-removal');
      await load.waitFor(2000);
    } finally {
      await load.stop();
    }
    assert.deepStrictEqual(load.errors, []);
    assert.deepStrictEqual(
      Object.keys(load.statuses).filter((status) => status !== '200' && status !== '429'), []);

    assert.doesNotMatch(cluster.stdout(), /^exit /m);
    assert.deepStrictEqual(children(cluster.pid), workers);
    const log = cluster.stderr();
    const pids = (pattern) => [...log.matchAll(pattern)].map((m) => m[1]).sort();
    const fellBack = pids(/^(\d+) vorn\.zone .* cannot be used/gm);
    assert.ok(fellBack.length > 0, log);
    assert.deepStrictEqual(fellBack, pids(/^(\d+) vorn\.zone .* can be used again/gm), log);
  });
