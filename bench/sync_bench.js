'use strict';
// The synced engine (createEngine with syncMs) against the in-process engine
// and the per-request Redis engine on the same work: one limit of "1e12/hour"
// (every check admitted), 4,096 client keys in rotation, one redis-server.
//
// Usage: node bench/sync_bench.js REDIS_URL [builddir] [--json FILE] [--rounds N]
//            [--checks N] [--algorithm token_bucket|fixed_window|leaky_bucket]
//
// Rows: checks per second (median of rounds) and the p99 time of one check.
// The synced and in-process checks are plain calls; the Redis engine's have 64
// in flight. Then each Redis engine paced at request rates a tenfold apart, on
// 64 keys and on 4,096, with the Redis round trips (script calls) and commands
// per second at each (from INFO commandstats; the commands the scripts run
// included): the synced engine makes one round trip per interval whatever the
// rate, and its commands grow with the keys it touches in an interval, not with
// the requests.
const fs = require('node:fs');
const path = require('node:path');

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at < 0 ? fallback : args[at + 1];
};
const url = args[0];
const positional = args.filter((arg, i) => !arg.startsWith('--') &&
  (i === 0 || !args[i - 1].startsWith('--')));
const build = path.resolve(positional[1] || path.join(__dirname, '..', 'build'));
const jsonPath = option('--json', null);
const ROUNDS = Number(option('--rounds', 5));
const CHECKS = Number(option('--checks', 400000));
const ALGORITHM = option('--algorithm', 'token_bucket');
const REDIS_CHECKS = 32000;
const IN_FLIGHT = 64;
const LIMIT = [[1e12, 3600000]];
const PACED_MS = 2000;

const keys = Array.from({ length: 4096 }, (_, i) => {
  const n = (i * 2654435761) % 4000000000;
  return `10.${(n >>> 16) & 255}.${(n >>> 8) & 255}.${n & 255}`;
});

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
};
const p99 = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length * 0.99)];

// [round trips, commands] Redis has run so far, from INFO commandstats.
async function redisCounts(client) {
  const text = await client.info('commandstats');
  let trips = 0;
  let commands = 0;
  for (const [, name, calls] of text.matchAll(/^cmdstat_([a-z|]+):calls=([0-9]+)/gm)) {
    if (name === 'info') continue;
    commands += Number(calls);
    if (name === 'evalsha' || name === 'eval') trips += Number(calls);
  }
  return [trips, commands];
}

// Checks per second of a plain call, then the p99 of single checks timed one by
// one (their clock reads cost some tens of ns each, which the rate leaves out).
function plainRate(check, total) {
  const started = process.hrtime.bigint();
  for (let i = 0; i < total; i++) check(keys[i & 4095]);
  const rate = total / (Number(process.hrtime.bigint() - started) / 1e9);
  const times = new Float64Array(Math.min(total, 100000));
  for (let i = 0; i < times.length; i++) {
    const at = process.hrtime.bigint();
    check(keys[i & 4095]);
    times[i] = Number(process.hrtime.bigint() - at);
  }
  return { rate, p99Ns: p99(times) };
}

async function redisRate(check, total) {
  let next = 0;
  const times = [];
  const caller = async () => {
    while (next < total) {
      const i = next++;
      const at = process.hrtime.bigint();
      await check(keys[i & 4095]);
      times.push(Number(process.hrtime.bigint() - at));
    }
  };
  const started = process.hrtime.bigint();
  await Promise.all(Array.from({ length: IN_FLIGHT }, caller));
  return { rate: total / (Number(process.hrtime.bigint() - started) / 1e9), p99Ns: p99(times) };
}

// `check(key)` on `perMs` keys of the first `keyCount` each millisecond for
// PACED_MS (calls of the Redis engine left in flight), with Redis's traffic.
async function paced(check, client, perMs, keyCount) {
  const [trips, commands] = await redisCounts(client);
  const started = Date.now();
  let checks = 0;
  const pending = [];
  while (Date.now() - started < PACED_MS) {
    const due = (Date.now() - started) * perMs;
    while (checks < due) pending.push(check(keys[checks++ % keyCount]));
    if (pending.length > 10000) await Promise.all(pending.splice(0));
    await new Promise((resolve) => { setTimeout(resolve, 1); });
  }
  await Promise.all(pending);
  const seconds = (Date.now() - started) / 1000;
  const [tripsAfter, commandsAfter] = await redisCounts(client);
  // The first reading's INFO is counted; it is one command in thousands.
  return { checksPerSecond: checks / seconds, tripsPerSecond: (tripsAfter - trips) / seconds,
    commandsPerSecond: (commandsAfter - commands) / seconds };
}

async function main() {
  const addon = require(process.env.VORN_NODE_ADDON || path.join(build, 'node', 'vorn_native.node'));
  const { SyncEngine } = require(path.join(__dirname, '..', 'js', 'sync_engine.js'));
  const { RedisEngine } = require(path.join(__dirname, '..', 'js', 'redis_engine.js'));
  const Redis = require('ioredis');
  const client = new Redis(url);
  const config = { algorithm: ALGORITHM, rates: LIMIT };
  const local = new addon.VornNode({ algorithm: ALGORITHM }, LIMIT, addon.VornNode.withRates);
  // The rounds hold the event loop for a while: a sync's reply may wait that long.
  const synced = new SyncEngine({ ...config, redis: url, syncMs: 100, redisPrefix: 'bench-sync:',
    redisTimeoutMs: 1000 },
    addon);
  await synced.ready();
  // The same on a zone: the machine's table of keys in shared memory.
  const zoneDir = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'vorn-sync-bench-'));
  const syncedZone = new SyncEngine({ ...config, redis: url, syncMs: 100,
    redisPrefix: 'bench-sync-zone:', redisTimeoutMs: 1000, zone: 'bench', zoneDir }, addon);
  await syncedZone.ready();
  const perRequest = new RedisEngine({ ...config, redis: url, redisTimeoutMs: 2000,
    redisPrefix: 'bench-sync-per-request:' }, addon.VornNode);
  await perRequest.ready();

  const rows = {
    in_process: () => plainRate((ip) => local.checkRequest(ip, '/', 0), CHECKS),
    synced: () => plainRate((ip) => synced.checkRequest(ip, '/', 0), CHECKS),
    synced_zone: () => plainRate((ip) => syncedZone.checkRequest(ip, '/', 0), CHECKS),
    per_request_redis: () => redisRate((ip) => perRequest.checkRequest(ip, '/', 0), REDIS_CHECKS),
  };
  // Every key known and leased before the rounds.
  for (const round of Object.values(rows)) await round();
  await synced.sync();
  await syncedZone.sync();
  const samples = Object.fromEntries(Object.keys(rows).map((name) => [name, []]));
  for (let round = 0; round < ROUNDS; round++) {
    for (const [name, run] of Object.entries(rows)) {
      samples[name].push(await run());
      // The synced engine's timer gets its turns between rows, as in a server.
      await new Promise((resolve) => { setTimeout(resolve, 150); });
    }
  }
  const report = { node: process.version, algorithm: ALGORITHM, rows: {}, paced: {} };
  for (const [name, runs] of Object.entries(samples)) {
    report.rows[name] = Object.fromEntries(['rate', 'p99Ns']
      .map((field) => [field, median(runs.map((run) => run[field]))]));
  }
  report.syncedOverInProcess = median(samples.synced.map((run, i) =>
    samples.in_process[i].rate / run.rate));
  report.syncedZoneOverInProcess = median(samples.synced_zone.map((run, i) =>
    samples.in_process[i].rate / run.rate));
  const pacedRows = { synced: (ip) => synced.checkRequest(ip, '/', 0),
    per_request_redis: (ip) => perRequest.checkRequest(ip, '/', 0) };
  for (const keyCount of [64, 4096]) {
    for (const perMs of [2, 20]) {
      for (const [name, check] of Object.entries(pacedRows)) {
        report.paced[`${name} ${keyCount} keys ${perMs * 1000}/s`] =
          await paced(check, client, perMs, keyCount);
      }
    }
  }

  await synced.close();
  await syncedZone.close();
  fs.rmSync(zoneDir, { recursive: true, force: true });
  await perRequest.close();
  client.disconnect();

  console.error(`node ${process.version}, ${ALGORITHM}, 4096 keys, median of ${ROUNDS} rounds`);
  console.error('  row                   checks/s   p99 check');
  for (const [name, row] of Object.entries(report.rows)) {
    console.error(`  ${name.padEnd(20)} ${row.rate.toFixed(0).padStart(9)} ` +
      `${(row.p99Ns / 1000).toFixed(2).padStart(8)} us`);
  }
  console.error(`  synced check time / in-process: ${report.syncedOverInProcess.toFixed(2)}`);
  console.error(`  synced on a zone check time / in-process: ${report.syncedZoneOverInProcess.toFixed(2)}`);
  console.error('  paced                                 checks/s  Redis trips/s  commands/s');
  for (const [name, run] of Object.entries(report.paced)) {
    console.error(`  ${name.padEnd(36)} ${run.checksPerSecond.toFixed(0).padStart(9)} ` +
      `${run.tripsPerSecond.toFixed(1).padStart(13)} ${run.commandsPerSecond.toFixed(0).padStart(11)}`);
  }
  if (jsonPath) fs.writeFileSync(jsonPath, JSON.stringify(report, null, 1));
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
