'use strict';
// vorn for Node.js: the VornNode class from the native addon (and VornZoneNode,
// whose state lives in a shared-memory zone), plus the rate-limiting middleware
// and the address canonicalisation it keys on.
const fs = require('node:fs');
const path = require('node:path');
const { inspect } = require('node:util');
const { ClientAddressResolver, canonicalAddress } = require('./address');
const middleware = require('./middleware');
const { checkConfigNames } = require('./names');

// The packed addon sits next to this file; in a repository checkout the build
// directory's copy is used instead.
const ADDON_CANDIDATES = [
  path.join(__dirname, 'vorn_native.node'),
  path.join(__dirname, '..', 'build', 'node', 'vorn_native.node'),
];

function loadAddon() {
  const found = ADDON_CANDIDATES.find((candidate) => fs.existsSync(candidate));
  if (found === undefined) {
    throw new Error(`vorn: no built addon; looked for ${ADDON_CANDIDATES.join(' and ')} ` +
      '(build it with scripts/demo.sh, or install the package made by npm pack)');
  }
  return require(found);
}

const { VornNode, VornZoneNode, removeZone, zoneStats } = loadAddon();

// createEngine(config) builds a VornNode; a VornZoneNode when config.zone names
// a shared-memory zone (created with config.zoneSize bytes when missing, in
// config.zoneDir when given); or a RedisEngine (whose checkRequest returns a
// Promise) when config.redis names a Redis URL or client. Unknown algorithm or
// mode names are refused here, unlike the classes themselves.
function createEngine(config = {}) {
  checkConfigNames(config);
  if (config.zone != null && config.redis != null) {
    throw new TypeError('createEngine: give a zone or redis, not both');
  }
  if (config.zone != null) return new VornZoneNode(config);
  if (config.zoneSize != null) throw new TypeError('createEngine: zoneSize needs a zone');
  if (config.zoneDir != null) throw new TypeError('createEngine: zoneDir needs a zone');
  if (config.redis != null) {
    const { redis } = config;
    if (typeof redis !== 'string' && typeof (redis && redis.defineCommand) !== 'function') {
      throw new TypeError('createEngine: redis must be a redis:// or rediss:// URL or an ' +
        `ioredis client, not ${inspect(redis)}`);
    }
    const { RedisEngine } = require('./redis_engine');  // loads ioredis only when used
    return new RedisEngine(config, VornNode);
  }
  return new VornNode(config);
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
  VornNode, VornZoneNode, createEngine, removeZone, zoneStats,
  createRateLimiter, ClientAddressResolver, canonicalAddress,
};
