'use strict';
// vorn for Node.js: the VornNode class from the native addon (and VornZoneNode,
// whose state lives in a shared-memory zone), plus the rate-limiting middleware
// and the address canonicalisation it keys on.
const fs = require('node:fs');
const path = require('node:path');
const { inspect } = require('node:util');
const { ClientAddressResolver, canonicalAddress } = require('./address');
const middleware = require('./middleware');
const { parseLimit, windowMsOf } = require('./limits');
const { checkConfigNames } = require('./names');
const { rateLimit, defaultLimit, RateLimitError } = require('./rate_limit');

// The package carries one addon per platform, chosen by process.arch; in a
// repository checkout the build directory's copy is used instead (or one put
// next to this file).
const PLATFORM = `${process.platform}-${process.arch}`;
const ADDON_CANDIDATES = [
  path.join(__dirname, '..', 'prebuilds', PLATFORM, 'vorn_native.node'),
  path.join(__dirname, 'vorn_native.node'),
  path.join(__dirname, '..', 'build', 'node', 'vorn_native.node'),
];
// Where the packed binaries run: Linux with glibc of at least this version.
const SUPPORTED_ARCHES = ['x64', 'arm64'];
const GLIBC_FLOOR = '2.34';

// Why this machine cannot run the packed binaries, or null when it can.
function unsupportedPlatform() {
  const supported = `vorn's binaries are for ${SUPPORTED_ARCHES.map((arch) => `linux-${arch}`)
    .join(' and ')} with glibc ${GLIBC_FLOOR} or later`;
  let found = PLATFORM;
  if (process.platform === 'linux') {
    const glibc = process.report.getReport().header.glibcVersionRuntime;
    found += glibc ? ` with glibc ${glibc}` : ' without glibc (musl?)';
    const [major, minor] = String(glibc).split('.').map(Number);
    const [floorMajor, floorMinor] = GLIBC_FLOOR.split('.').map(Number);
    const recent = major > floorMajor || (major === floorMajor && minor >= floorMinor);
    if (glibc && recent && SUPPORTED_ARCHES.includes(process.arch)) return null;
  }
  return `vorn: no native engine for ${found}; ${supported} (elsewhere on Linux, build it from source)`;
}

function loadAddon() {
  const found = ADDON_CANDIDATES.find((candidate) => fs.existsSync(candidate));
  if (found !== undefined) {
    try {
      return require(found);
    } catch (error) {
      const problem = unsupportedPlatform();
      if (problem !== null) throw new Error(problem, { cause: error });
      throw error;
    }
  }
  throw new Error(unsupportedPlatform() ??
    `vorn: no built addon; looked for ${ADDON_CANDIDATES.join(', ')} ` +
      '(build it with scripts/demo.sh, or install the package made by npm pack)');
}

const addon = loadAddon();
const { VornNode, VornZoneNode, removeZone, zoneStats, zoneCounts, processCounts } = addon;
// The capacity of a window given without one, as of the engine without either.
const DEFAULT_CAPACITY = 100;

// createEngine(config) builds a VornNode; a VornZoneNode when config.zone names
// a shared-memory zone (created with config.zoneSize bytes when missing, in
// config.zoneDir when given); or a RedisEngine (whose checkRequest returns a
// Promise) when config.redis names a Redis URL or client. Unknown algorithm or
// mode names are refused here, unlike the classes themselves.
// config.limit, a limit text ("10/second; 1000/hour"), or config.windowMs with
// config.capacity ("capacity per window") give the engine its rates, for any
// algorithm; neither goes with refillRate, nor limit with capacity or windowMs.
// config.syncMs with config.redis makes a SyncEngine: one limit shared through
// Redis whose checks are answered at once from this process's state (with
// config.zone, one process of the machine syncs for all of them on the zone).
function createEngine(config = {}) {
  if (config !== null && typeof config === 'object' &&
    (config.syncMs != null || config.maxOvershoot != null)) {
    return createSyncEngine(config);
  }
  checkConfigNames(config);
  if (config.zone != null && config.redis != null) {
    throw new TypeError('createEngine: give a zone or redis, not both');
  }
  const rates = ratesOf(config);
  let engineConfig = config;
  if (rates !== null) {
    const { limit, windowMs, ...rest } = config;
    engineConfig = rest;
  }
  if (config.zone != null) {
    return rates === null ? new VornZoneNode(config)
      : new VornZoneNode(engineConfig, rates, VornZoneNode.withRates);
  }
  if (config.zoneSize != null) throw new TypeError('createEngine: zoneSize needs a zone');
  if (config.zoneDir != null) throw new TypeError('createEngine: zoneDir needs a zone');
  if (config.redis != null) {
    const { redis } = config;
    if (typeof redis !== 'string' && typeof (redis && redis.defineCommand) !== 'function') {
      throw new TypeError('createEngine: redis must be a Redis URL (redis://, rediss://, ' +
        'redis+cluster://, redis+sentinel://) or an ' +
        `ioredis client, not ${inspect(redis)}`);
    }
    const { RedisEngine } = require('./redis_engine');  // loads ioredis only when used
    return new RedisEngine(rates === null ? config : { ...engineConfig, rates }, VornNode);
  }
  return rates === null ? new VornNode(config)
    : new VornNode(engineConfig, rates, VornNode.withRates);
}

function createSyncEngine(config) {
  const { syncMs, maxOvershoot, ...rest } = config;
  checkConfigNames(rest);
  if (syncMs == null) throw new TypeError('createEngine: maxOvershoot needs syncMs');
  if (config.redis == null) throw new TypeError('createEngine: syncMs needs redis');
  for (const name of ['onError', 'redisProbeIntervalMs', 'clock']) {
    // While a synced engine cannot use the machine's shared table or Redis it
    // always limits alone.
    if (config[name] != null) throw new TypeError(`createEngine: ${name} does not go with syncMs`);
  }
  for (const name of ['zoneDir', 'zoneSize']) {
    if (config[name] != null && config.zone == null) {
      throw new TypeError(`createEngine: ${name} needs a zone`);
    }
  }
  const rates = ratesOf(config);
  const { SyncEngine } = require('./sync_engine');  // loads ioredis only when used
  const { limit, windowMs, ...engineConfig } = config;
  return new SyncEngine({ ...engineConfig, rates: rates ?? undefined }, addon);
}

// The [count, windowMs] rates that config.limit or config.windowMs give, or null
// when neither is given (the engine of capacity and refillRate).
function ratesOf(config) {
  if (config === null || typeof config !== 'object') return null;
  const { limit, windowMs, capacity, refillRate } = config;
  if (limit != null) {
    for (const [name, value] of [['capacity', capacity], ['refillRate', refillRate],
      ['windowMs', windowMs]]) {
      if (value != null) throw new TypeError(`createEngine: give a limit or ${name}, not both`);
    }
    return parseLimit(limit);
  }
  if (windowMs == null) return null;
  if (refillRate != null) {
    throw new TypeError('createEngine: give windowMs or refillRate, not both (a window with a ' +
      'capacity sets the rate)');
  }
  const count = capacity == null ? DEFAULT_CAPACITY : capacity;
  if (typeof count !== 'number') {
    throw new TypeError(`createEngine: capacity must be a number, not ${typeof count}`);
  }
  if (!(count >= 0 && count < Infinity)) {
    throw new RangeError(`createEngine: capacity must be a finite number >= 0 with windowMs, not ${count}`);
  }
  return [[count, windowMsOf(windowMs)]];
}

// createRateLimiter({config, trustedProxies, forwardedHeader, identity, ...})
// builds its own engine from `config` unless `engine` or `rules` is given; a
// rule may also give a `config` instead of an engine.
function createRateLimiter(options = {}) {
  if (options.rules !== undefined) {
    return middleware.createRateLimiter({ ...options, buildEngine: createEngine });
  }
  const engine = options.engine || createEngine(options.config || {});
  return middleware.createRateLimiter({ ...options, engine });
}

module.exports = {
  VornNode, VornZoneNode, createEngine, removeZone, zoneStats, zoneCounts, processCounts,
  createRateLimiter, ClientAddressResolver, canonicalAddress, parseLimit,
  rateLimit, defaultLimit, RateLimitError,
};
// Loaded when first asked for: prom-client is an optional peer.
Object.defineProperty(module.exports, 'metrics', {
  enumerable: true, get: () => require('./metrics'),
});
