'use strict';
// Per-call cost of VornNode.checkRequest, next to the floor (a Node-API method
// that reads the same three arguments and returns undefined), the cost of a
// result object built property by property through Node-API, and a plain
// JavaScript token bucket on a Map. Prints medians over several repetitions.
//
// Usage: node bench/node_bench.js [builddir]   (default: build)
const path = require('node:path');

const builddir = path.resolve(__dirname, '..', process.argv[2] || 'build');
const addonPath = process.env.VORN_NODE_ADDON || path.join(builddir, 'node', 'vorn_native.node');
const { VornNode } = require(addonPath);
const floor = require(path.join(builddir, 'bench', 'napifloor.node'));

const REPETITIONS = 9;
const CALLS = 500_000;

// A token bucket as plain JavaScript would write it: a Map from key to bucket,
// refilled by the elapsed time, answering with the same five fields.
class MapTokenBucket {
  constructor(capacity, refillPerSecond) {
    this.capacity = capacity;
    this.refillPerMs = refillPerSecond / 1000;
    this.buckets = new Map();
  }

  checkRequest(ip, route, startMs) {
    const now = Date.now();
    let bucket = this.buckets.get(ip);
    if (bucket === undefined) {
      bucket = { tokens: this.capacity, last: now };
      this.buckets.set(ip, bucket);
    }
    bucket.tokens = Math.min(this.capacity, bucket.tokens + (now - bucket.last) * this.refillPerMs);
    bucket.last = now;
    const allowed = bucket.tokens >= 1;
    if (allowed) bucket.tokens -= 1;
    return {
      allowed,
      wouldBlock: !allowed,
      reason: allowed ? 'within_limit' : 'token_exhausted',
      algorithm: 'token_bucket',
      debugInfo: `${Math.round(bucket.tokens)} tokens remaining`,
    };
  }
}

let sink;
function measure(fn) {
  const samples = [];
  for (let r = 0; r < REPETITIONS; r++) {
    const t0 = process.hrtime.bigint();
    for (let i = 0; i < CALLS; i++) sink = fn();
    samples.push(Number(process.hrtime.bigint() - t0) / CALLS);
  }
  samples.sort((a, b) => a - b);
  return { median: samples[samples.length >> 1], min: samples[0] };
}

// Enough allowance that every call is admitted: the common path.
const roomy = { capacity: 1e15, refillRate: 1e15 };
const cases = [
  ['floor: Node-API call reading 3 args', () => floor.floor('10.1.2.3', '/api/items', 1.7e12)],
  ['floor addon: 5 x napi_set_named_property', () => floor.setFive()],
  ['checkRequest token_bucket, existing key',
    ((n) => () => n.checkRequest('10.1.2.3', '/api/items', Date.now()))(new VornNode(roomy))],
  ['checkRequest token_bucket, refused',
    ((n) => () => n.checkRequest('10.1.2.3', '/api/items', Date.now()))(
      new VornNode({ capacity: 1, refillRate: 0 }))],
  ['checkRequest token_bucket + apiKey telemetry',
    ((n) => () => n.checkRequest('10.1.2.3', '/api/items', Date.now()))(
      new VornNode({ ...roomy, apiKey: 'key' }))],
  ['checkRequest disabled mode (no limiter)',
    ((n) => () => n.checkRequest('10.1.2.3', '/api/items', Date.now()))(
      new VornNode({ mode: 'disabled' }))],
  ['JavaScript Map token bucket',
    ((b) => () => b.checkRequest('10.1.2.3', '/api/items', Date.now()))(
      new MapTokenBucket(1e15, 1e15))],
];

console.log(`node ${process.version}, ${REPETITIONS} x ${CALLS} calls each, ns per call`);
for (const [name, fn] of cases) measure(fn);  // warm up every path first
for (const [name, fn] of cases) {
  const { median, min } = measure(fn);
  console.log(`${name.padEnd(46)} median ${median.toFixed(1).padStart(7)}   min ${min.toFixed(1).padStart(7)}`);
}
if (sink === 'unlikely') console.log(sink);
