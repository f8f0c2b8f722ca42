'use strict';
// One process of the synced fleet: checks keys as fast as it can for a while
// and prints what it admitted as JSON. The Python twin is sync_fleet_worker.py.
// Usage: node sync_fleet_worker.js <redis url> <limit> <keys> <seconds> [<outage file>]
// While the outage file exists the admissions are also counted apart; while
// <outage file>.pause exists it checks nothing (its syncs go on). With
// VORN_FLEET_ZONE (and VORN_FLEET_ZONE_DIR) set, the engine is on that zone, so
// that one process of the machine syncs for all.
const fs = require('node:fs');
const path = require('node:path');
const { addonPath, repoRoot } = require('./redis_support');

const { SyncEngine } = require(path.join(repoRoot, 'js', 'sync_engine.js'));
const { parseLimit } = require(path.join(repoRoot, 'js', 'limits.js'));

const BATCH = 200;
// Longer than a sync of a thousand keys takes on a loaded machine (see the test).
const TIMEOUT_MS = 1000;

async function main([url, limit, keyCount, seconds, outageFile]) {
  // What createEngine({ limit, redis, syncMs: 100 }) builds, on the addon under test.
  const engine = new SyncEngine({ rates: parseLimit(limit), redis: url, syncMs: 100,
    redisTimeoutMs: TIMEOUT_MS, zone: process.env.VORN_FLEET_ZONE,
    zoneDir: process.env.VORN_FLEET_ZONE_DIR }, require(addonPath));
  await engine.ready();
  const keys = Array.from({ length: Number(keyCount) }, (_, i) => `client-${i}`);
  const report = { admitted: 0, checks: 0, outageAdmitted: 0, degradedSeen: false,
    slowestCheckMs: 0, start: Date.now(), end: 0 };
  const until = report.start + Number(seconds) * 1000;
  let at = Math.floor(Math.random() * keys.length);
  const pauseFile = outageFile === undefined ? undefined : `${outageFile}.pause`;
  while (Date.now() < until) {
    if (pauseFile !== undefined && fs.existsSync(pauseFile)) {
      await new Promise((resolve) => { setTimeout(resolve, 10); });
      continue;
    }
    const outage = outageFile !== undefined && fs.existsSync(outageFile);
    for (let i = 0; i < BATCH; i++) {
      at = (at + 1) % keys.length;
      const started = performance.now();
      const result = engine.checkRequest(keys[at], '/', Date.now());
      const took = performance.now() - started;
      if (took > report.slowestCheckMs) report.slowestCheckMs = took;
      report.checks++;
      if (result.allowed) {
        report.admitted++;
        if (outage) report.outageAdmitted++;
      }
    }
    if (engine.degraded) report.degradedSeen = true;
    // The timer's turn: a sync runs between batches.
    await new Promise(setImmediate);
  }
  report.end = Date.now();
  await engine.close();
  process.stdout.write(`${JSON.stringify(report)}\n`);
}

main(process.argv.slice(2)).catch((err) => {
  console.error(err);
  process.exit(1);
});
