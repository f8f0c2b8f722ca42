'use strict';
// Prometheus metrics of vorn's engines, through prom-client (an optional peer
// dependency). register(registry) adds them to `registry` (default: prom-client's
// global one); they read the engines' counters when scraped, so a check pays
// only for its counting. The metrics:
// - vorn_requests_total{limit, result}: checks by the limit's name (what the
//   route middlewares and the Fastify plugin name it: a route, a rule,
//   'default') and result: allowed, refused, shadow_refused or disabled;
// - vorn_store_fallback_total{store}: checks the failure policy answered, the
//   store ('zone' or 'redis') being unusable; vorn_store_degraded{store}: 1 while
//   an engine of this process answers so;
// - vorn_redis_check_seconds: a histogram of the Redis round trips;
// - vorn_zone_keys{zone}, vorn_zone_capacity_keys{zone},
//   vorn_zone_evictions_total{zone}, vorn_zone_repairs_total{zone}.
// Engines on a zone count in the zone: a scrape of any process of the machine
// tells every process's counts of those engines. In-process and Redis engines
// tell the scraped process's own. Under node:cluster with prom-client's
// AggregatorRegistry, register with { perProcess: true } in each worker: each
// then tells its own counts, which the aggregator adds up (the zone gauges are
// aggregated by their maximum), and answers the primary's requests for them.
const counts = require('./counts');

const RESULTS = [['allowed', 0], ['refused', 1], ['shadow_refused', 2], ['disabled', 3]];
const ZONE_FIGURES = [
  ['vorn_zone_keys', 'Client states a zone holds.', 'keys', 'Gauge'],
  ['vorn_zone_capacity_keys', 'Client states a zone can hold.', 'capacity', 'Gauge'],
  ['vorn_zone_evictions_total', 'States dropped to make room.', 'evictions', 'Counter'],
  ['vorn_zone_repairs_total', 'Shards and states found damaged and started fresh.', 'repairs',
    'Counter'],
];

function add(into, name, values) {
  let kept = into.get(name);
  if (kept === undefined) into.set(name, (kept = [0, 0, 0, 0, 0]));
  values.forEach((value, at) => { kept[at] += value; });
}

const valuesOf = (object) => counts.OUTCOMES.map((outcome) => object[outcome]);

// The figures the metrics tell, as plain values. With perProcess, engines on a
// zone count only this process's checks, as an aggregator needs.
function gather(perProcess = false) {
  const addon = require('./index');
  const requests = new Map();
  const fallback = { zone: 0, redis: 0 };
  const degraded = { zone: false, redis: false };
  const zones = new Map();
  for (const row of addon.processCounts()) {
    if (row.name === counts.HIDDEN_NAME) continue;  // counted by the engine it serves
    const values = valuesOf(row.counts);
    if (row.zone === null) {
      add(requests, row.name, values);
      continue;
    }
    zones.set(`${row.zone}\n${row.zoneDir ?? ''}`, row);
    degraded.zone = degraded.zone || row.degraded;
    if (perProcess) {
      add(requests, row.name, values);
      fallback.zone += values[4];
    }
  }
  const zoneStats = new Map();
  for (const { zone, zoneDir } of zones.values()) {
    let machine;
    try {
      const dir = zoneDir ?? undefined;
      zoneStats.set(zone, addon.zoneStats(zone, dir));
      machine = addon.zoneCounts(zone, dir);
    } catch {
      continue;  // a zone gone or unusable now: its engines answer by policy
    }
    if (perProcess) continue;
    for (const [name, object] of Object.entries(machine)) {
      if (name === counts.HIDDEN_NAME) continue;
      const values = valuesOf(object);
      add(requests, name, values);
      fallback.zone += values[4];
    }
  }
  for (const { name, store, values } of counts.counted()) {
    add(requests, name, values);
    fallback[store] = (fallback[store] || 0) + values[4];
  }
  for (const [store, isDegraded] of Object.entries(counts.degradedStores())) {
    degraded[store] = degraded[store] || isDegraded;
  }
  return { requests, fallback, degraded, zones: zoneStats };
}

// Registers vorn's metrics with `registry` (prom-client's global one when
// omitted) and returns them.
function register(registry, options = {}) {
  const client = require('prom-client');
  const registers = [registry || client.register];
  const perProcess = Boolean(options.perProcess);
  let figures = null;
  // One gathering per scrape, whichever metric asks first.
  const fresh = () => {
    if (figures === null) {
      figures = gather(perProcess);
      setImmediate(() => { figures = null; });
    }
    return figures;
  };
  const requests = new client.Counter({
    name: 'vorn_requests_total', help: 'Checks by limit and result.',
    labelNames: ['limit', 'result'], registers,
    collect() {
      this.reset();
      for (const [name, values] of fresh().requests) {
        for (const [result, at] of RESULTS) this.inc({ limit: name, result }, values[at]);
      }
    },
  });
  const fallback = new client.Counter({
    name: 'vorn_store_fallback_total', help: 'Checks the failure policy answered, the store unusable.',
    labelNames: ['store'], registers,
    collect() {
      this.reset();
      for (const [store, value] of Object.entries(fresh().fallback)) this.inc({ store }, value);
    },
  });
  const degraded = new client.Gauge({
    name: 'vorn_store_degraded', help: '1 while an engine answers by its failure policy.',
    labelNames: ['store'], registers, aggregator: 'max',
    collect() {
      for (const [store, value] of Object.entries(fresh().degraded)) this.set({ store }, value ? 1 : 0);
    },
  });
  const roundTrips = new client.Histogram({
    name: 'vorn_redis_check_seconds', help: 'Redis round trips of checks.',
    buckets: counts.ROUND_TRIP_BUCKETS, registers,
  });
  counts.roundTripHooks.push((seconds) => roundTrips.observe(seconds));
  const zones = ZONE_FIGURES.map(([name, help, field, kind]) => new client[kind]({
    name, help, labelNames: ['zone'], registers, aggregator: 'max',
    collect() {
      this.reset();
      for (const [zone, stats] of fresh().zones) {
        if (kind === 'Gauge') this.set({ zone }, stats[field]);
        else this.inc({ zone }, stats[field]);
      }
    },
  }));
  if (perProcess && require('node:cluster').isWorker) {
    // A worker answers the primary's aggregator only once it listens for it.
    new client.AggregatorRegistry();  // eslint-disable-line no-new
    if (registers[0] !== client.register) client.AggregatorRegistry.setRegistries(registers);
  }
  return { requests, fallback, degraded, roundTrips, zones };
}

module.exports = { register, gather };
