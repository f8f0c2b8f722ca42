'use strict';
// Per-call cost of VornNode.checkRequest against what a Node service would use
// instead: rate-limiter-flexible's RateLimiterMemory.consume (awaited; on
// admission and on refusal), express-rate-limit's MemoryStore.increment
// (awaited), the limiter package's TokenBucket kept per key, a plain JavaScript
// token bucket on a Map returning the same five properties, and the floor addon
// (bench/napifloor): a Node-API method reading the same three arguments and
// returning a five-property object built property by property, and its
// `nothing`, which reads no argument and returns undefined (napi_nothing: the
// bare crossing, the least any native check can cost).
//
// Every row checks the same client keys in rotation; the rows ending in "_4096"
// check 4,096 keys instead, with a bucket that never refills (norefill) or one
// that is full again by the time its client returns (refill, the common case),
// against the peers on the same keys. Rounds alternate over the
// rows so that load from elsewhere on the machine hits all of them alike; each
// figure is the median over the rounds and each ratio the median of the
// per-round ratios checkRequest / row.
//
// The middleware rows run the Express-style function (req, res, next) of
// js/middleware.js around checkRequest, with a request object per client key.
// The middleware_http rows serve whole answers through the wrapped node:http
// handler (limit.wrap) on node:http's own request and response objects, made
// afresh for each call as a server makes them and written to a socket that
// drops the bytes, with the client address in three forms; http_bare serves the
// same answer ("ok", no header of its own) without the middleware, so a row less
// http_bare is what the middleware adds to an answer: the engine's check, the
// key, the route, and the two fields with Node's handling of set headers;
// http_fields is the bare answer with the same two fields set by hand.
//
// Usage: node bench/node_bench.js [builddir] [--json FILE] [--rounds N] [--rows NAME,...]
const fs = require('node:fs');
const path = require('node:path');

const { takeOption } = require('./options');

const argv = process.argv.slice(2);
const option = (name, fallback) => takeOption(argv, name, fallback);
const jsonPath = option('--json', null);
const ROUNDS = Number(option('--rounds', 9));
const CALLS = Number(option('--calls', 200000));
const ONLY_ROWS = option('--rows', null);
const KEY_COUNT = Number(process.env.VORN_BENCH_KEYS || 64);
const builddir = path.resolve(__dirname, '..', argv[0] || 'build');
const { VornNode, VornZoneNode, removeZone } = require(process.env.VORN_NODE_ADDON ||
  path.join(builddir, 'node', 'vorn_native.node'));
const floor = require(path.join(builddir, 'bench', 'napifloor.node'));
const { createRateLimiter } = require(path.join(__dirname, '..', 'js', 'middleware.js'));

function peer(name) {
  try {
    return require(path.join(__dirname, 'node_modules', name));
  } catch {
    return null;
  }
}

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

const ipv4Keys = (count) => Array.from({ length: count }, (_, i) => {
  const n = (i * 2654435761) % 4000000000;
  return `10.${(n >>> 16) & 255}.${(n >>> 8) & 255}.${n & 255}`;
});
const keys = ipv4Keys(KEY_COUNT);
const returningKeys = ipv4Keys(4096);
const ROUTE = '/api/items';
let sink;

function timeSync(fn, set = keys) {
  const t0 = process.hrtime.bigint();
  for (let i = 0; i < CALLS; i++) sink = fn(set[i % set.length]);
  return Number(process.hrtime.bigint() - t0) / CALLS;
}

async function timeAsync(fn, set = keys) {
  const t0 = process.hrtime.bigint();
  for (let i = 0; i < CALLS; i++) sink = await fn(set[i % set.length]);
  return Number(process.hrtime.bigint() - t0) / CALLS;
}

// The middleware around one engine, as a row: it takes each key's request in
// the same rotation as the other rows; next() and the 429 answer do nothing.
function middlewareRow(engine) {
  const limit = createRateLimiter({ engine });
  const requests = keys.map((ip) => ({ socket: { remoteAddress: ip }, headers: {}, url: ROUTE }));
  const response = { writeHead() {}, end() {} };
  const next = () => {};
  let at = 0;
  return () => {
    at = at + 1 === KEY_COUNT ? 0 : at + 1;
    return limit(requests[at], response, next);
  };
}

const ADDRESS_FORMS = {
  ipv4: (i) => `10.0.${i >> 8}.${i & 255}`,
  mapped: (i) => `::ffff:10.0.${i >> 8}.${i & 255}`,
  ipv6: (i) => `2001:db8:${i.toString(16)}::1`,
};

// A row serving one answer a call through `handler`, on node:http's request and
// response as a server makes them, the clients' addresses in `form`. The
// response writes to a stream that drops its bytes; every 256 calls the row
// waits for the event loop, so that the writes' callbacks run as they would.
function httpRow(handler, form) {
  const http = require('node:http');
  const net = require('node:net');
  const { Writable } = require('node:stream');
  const sockets = Array.from({ length: KEY_COUNT }, (_, i) => {
    const socket = new net.Socket();
    Object.defineProperty(socket, 'remoteAddress', { value: ADDRESS_FORMS[form](i) });
    return socket;
  });
  const drop = new Writable({ decodeStrings: false, write: (c, e, done) => done(), writev: (c, done) => done() });
  let at = 0;
  let served = 0;
  return () => {
    at = at + 1 === KEY_COUNT ? 0 : at + 1;
    const req = new http.IncomingMessage(sockets[at]);
    req.method = 'GET';
    req.url = ROUTE;
    req.httpVersionMajor = 1;
    req.httpVersionMinor = 1;
    const res = new http.ServerResponse(req);
    res.shouldKeepAlive = true;
    res.assignSocket(drop);
    handler(req, res);
    res.detachSocket(drop);
    return (++served & 255) === 0 ? new Promise(setImmediate) : undefined;
  };
}

function rows() {
  const allow = new VornNode({ capacity: 1e15, refillRate: 1e15 });
  const refuse = new VornNode({ capacity: 1, refillRate: 0 });
  const map = new MapTokenBucket(1e15, 1e15);
  // The same instance with its state in a shared-memory zone (removed at exit).
  const zoneName = `bench-js-${process.pid}`;
  const zoned = new VornZoneNode({ zone: zoneName, capacity: 1e15, refillRate: 1e15 });
  process.on('exit', () => removeZone(zoneName));
  const list = [
    ['checkRequest', false, (ip) => allow.checkRequest(ip, ROUTE, Date.now())],
    ['checkRequest_refused', false, (ip) => refuse.checkRequest(ip, ROUTE, Date.now())],
    ['checkLimits', false, (ip) => allow.checkLimits(ip, ROUTE, Date.now())],
    ['zone_checkRequest', false, (ip) => zoned.checkRequest(ip, ROUTE, Date.now())],
    ['map_bucket', false, (ip) => map.checkRequest(ip, ROUTE, Date.now())],
    ['napi_floor', false, (ip) => floor.floorObject(ip, ROUTE, Date.now())],
    ['napi_nothing', false, (ip) => floor.nothing(ip, ROUTE, Date.now())],
    ['middleware', false, middlewareRow(allow)],
    ['middleware_refused', false, middlewareRow(refuse)],
  ];
  // A limit as users write one: the answer's figures stay small numbers.
  const answer = (req, res) => res.end('ok\n');
  const wrapped = createRateLimiter({ engine: new VornNode({ capacity: 1000, refillRate: 1e9 }) })
    .wrap(answer);
  list.push(['http_bare', true, httpRow(answer, 'ipv4')]);
  // The bare answer with the same two fields set by the handler itself.
  list.push(['http_fields', true, httpRow((req, res) => {
    res.setHeader('RateLimit-Policy', '"default";q=1000;w=1');
    res.setHeader('RateLimit', '"default";r=999;t=1');
    res.end('ok\n');
  }, 'ipv4')]);
  for (const form of Object.keys(ADDRESS_FORMS)) {
    list.push([`middleware_http_${form}`, true, httpRow(wrapped, form)]);
  }
  const noRefill = new VornNode({ capacity: 1e12, refillRate: 0 });
  const refill = new VornNode({ capacity: 1e12, refillRate: 1e9 });
  const map4096 = new MapTokenBucket(1e12, 1e9);
  list.push(['checkRequest_4096_norefill', false, (ip) => noRefill.checkRequest(ip, ROUTE, Date.now()), returningKeys]);
  list.push(['checkRequest_4096_refill', false, (ip) => refill.checkRequest(ip, ROUTE, Date.now()), returningKeys]);
  list.push(['map_bucket_4096', false, (ip) => map4096.checkRequest(ip, ROUTE, Date.now()), returningKeys]);
  const flexible = peer('rate-limiter-flexible');
  if (flexible) {
    const roomy4096 = new flexible.RateLimiterMemory({ points: 1e15, duration: 0 });
    list.push(['rlf_allow_4096', true, (ip) => roomy4096.consume(ip), returningKeys]);
    const roomy = new flexible.RateLimiterMemory({ points: 1e15, duration: 0 });
    const tight = new flexible.RateLimiterMemory({ points: 1, duration: 0 });
    list.push(['rlf_allow', true, (ip) => roomy.consume(ip)]);
    list.push(['rlf_refuse', true, (ip) => tight.consume(ip).catch((refusal) => refusal)]);
  }
  const express = peer('express-rate-limit');
  if (express) {
    const store = new express.MemoryStore();
    store.init({ windowMs: 60000 });
    list.push(['erl_increment', true, (ip) => store.increment(ip)]);
    list.stores = [store];
  }
  const limiter = peer('limiter');
  if (limiter) {
    const buckets = new Map();
    list.push(['limiter_bucket', false, (ip) => {
      let bucket = buckets.get(ip);
      if (bucket === undefined) {
        bucket = new limiter.TokenBucket({ bucketSize: 1e15, tokensPerInterval: 1e15, interval: 'second' });
        bucket.content = bucket.bucketSize;
        buckets.set(ip, bucket);
      }
      return bucket.tryRemoveTokens(1);
    }]);
  }
  return list;
}

async function main() {
  const all = rows();
  const list = ONLY_ROWS ? all.filter(([name]) => ONLY_ROWS.split(',').includes(name)) : all;
  const samples = Object.fromEntries(list.map(([name]) => [name, []]));
  const once = async () => {
    const times = {};
    for (const [name, isAsync, fn, set] of list) {
      times[name] = isAsync ? await timeAsync(fn, set) : timeSync(fn, set);
    }
    return times;
  };
  await once();  // every key exists and every path is optimised
  for (let r = 0; r < ROUNDS; r++) {
    const times = await once();
    for (const name in times) samples[name].push(times[name]);
  }
  for (const store of all.stores || []) store.shutdown();

  const median = (values) => {
    const sorted = [...values].sort((a, b) => a - b);
    const middle = sorted.length >> 1;
    return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
  };
  const ns = {};
  const ratio = {};
  const ratioOf = (subject, name) => median(samples[subject].map((c, i) => c / samples[name][i]));
  for (const name in samples) {
    ns[name] = median(samples[name]);
    if (name.includes('_4096')) continue;
    const base = ['rlf_refuse', 'middleware_refused'].includes(name) ? 'checkRequest_refused' : 'checkRequest';
    if (name !== base && base in samples) ratio[name] = ratioOf(base, name);
  }
  // Both 4,096-key checkRequest rows against each 4,096-key peer, and refill against no refill.
  for (const subject of ['checkRequest_4096_norefill', 'checkRequest_4096_refill']) {
    if (!(subject in samples)) continue;
    for (const name in samples) {
      if (name !== subject && (name.endsWith('_4096') || name === 'checkRequest_4096_norefill')) {
        ratio[`${subject}/${name}`] = ratioOf(subject, name);
      }
    }
  }
  const report = { node: process.version, calls: CALLS, rounds: ROUNDS, keys: KEY_COUNT, ns, ratio };
  console.log(`node ${process.version}, ${CALLS} calls x ${ROUNDS} rounds, ${KEY_COUNT} keys, ns per call (median)`);
  for (const name in ns) {
    const suffix = name in ratio ? `   checkRequest / this ${ratio[name].toFixed(2)}` : '';
    console.log(`  ${name.padEnd(26)} ${ns[name].toFixed(1).padStart(8)}${suffix}`);
  }
  for (const name in ratio) {
    if (name.includes('/')) console.log(`  ${name.padEnd(52)} ${ratio[name].toFixed(2)}`);
  }
  if (jsonPath) fs.writeFileSync(jsonPath, JSON.stringify(report, null, 1));
  if (sink === 'unlikely') console.log(sink);
}

main();
