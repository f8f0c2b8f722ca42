'use strict';
// An engine that keeps every client's count in Redis, so that all processes and
// machines pointed at one Redis (Python ones included) share one limit per client.
//
// Each check is one atomic round trip: the limiter's Lua script (lua/, shared with
// the Python package) runs on the client's key by EVALSHA and takes the time from
// the Redis server. When Redis cannot be reached, is slower than the timeout or
// answers with an error, the check is answered as `onError` says ('local': from an
// in-process VornNode with the same configuration; 'allow'; 'deny'), one warning
// is logged, and a background probe brings the engine back to Redis once it
// answers again. No check ever waits for a reconnection.
//
// The client is ioredis: it bounds each command by itself (commandTimeout), can
// refuse commands at once while disconnected instead of queueing them for a later
// replay (enableOfflineQueue false), and runs defined Lua commands by SHA with the
// reload on NOSCRIPT built in.
const fs = require('node:fs');
const path = require('node:path');

const DEFAULT_PREFIX = 'vorn:';
const DEFAULT_TIMEOUT_MS = 50;
const DEFAULT_PROBE_INTERVAL_MS = 500;
const WINDOW_MS = 60000;
const U64_MAX = (1n << 64n) - 1n;
const ON_ERROR_CHOICES = ['local', 'allow', 'deny'];
// The debug text of an answer given without Redis when onError is allow or deny.
const UNAVAILABLE_TEXT = 'redis unavailable';
const REDIS_OPTION_NAMES = ['redis', 'redisPrefix', 'redisTimeoutMs', 'onError',
  'redisProbeIntervalMs', 'logger', 'clock'];

const LIMITERS = {
  token_bucket: { tag: 'tb', command: 'vornTokenBucket', refused: 'token_exhausted' },
  sliding_window: { tag: 'sw', command: 'vornSlidingWindow', refused: 'limit_exceeded' },
  fixed_window: { tag: 'fw', command: 'vornFixedWindow', refused: 'limit_exceeded' },
  leaky_bucket: { tag: 'lb', command: 'vornLeakyBucket', refused: 'limit_exceeded' },
};

// The package carries the scripts beside js/; a checkout has them at the top too.
function scriptText(limiter) {
  return fs.readFileSync(path.join(__dirname, '..', 'lua', `${limiter}.lua`), 'utf8');
}

function limiterFor(algorithm) {
  // Every other name, recognised or not, runs the token bucket.
  return ['sliding_window', 'fixed_window', 'leaky_bucket'].includes(algorithm)
    ? algorithm : 'token_bucket';
}

// A capacity as a count of requests: truncated, NaN and negatives 0, saturating.
function wholeCount(value) {
  if (!(value > 0)) return '0';
  if (value >= 2 ** 64) return U64_MAX.toString();
  return BigInt(Math.trunc(value)).toString();
}

// A number as the script reads it back exactly (Lua's tonumber).
function scriptNumber(value) {
  if (Number.isNaN(value)) return 'nan';
  if (value === Infinity) return 'inf';
  if (value === -Infinity) return '-inf';
  return String(value);
}

// A number in a key, written the same way by both hosts: whole numbers below
// 2^53 as digits, everything else by its bits.
function keyNumber(value) {
  if (Number.isNaN(value)) return 'nan';
  if (value === Infinity) return 'inf';
  if (value === -Infinity) return '-inf';
  if (Number.isInteger(value) && Math.abs(value) < 2 ** 53) return String(value === 0 ? 0 : value);
  const bits = Buffer.alloc(8);
  bits.writeDoubleBE(value);
  return `x${bits.toString('hex')}`;
}

// What one configuration sends to Redis: the script, its arguments, and the key
// prefix that keeps engines with other limits apart.
function limitsFor(algorithm, capacity, refillRate, prefix) {
  const limiter = limiterFor(algorithm);
  let args;
  let shape;
  if (limiter === 'sliding_window' || limiter === 'fixed_window') {
    const count = wholeCount(capacity);
    args = [count, String(WINDOW_MS)];
    shape = `${count}:${WINDOW_MS}`;
  } else {
    args = [scriptNumber(capacity), scriptNumber(refillRate)];
    shape = `${keyNumber(capacity)}:${keyNumber(refillRate)}`;
  }
  const { tag, command, refused } = LIMITERS[limiter];
  // probeKey lies outside every client's key space: what the probe of a failed Redis checks.
  return { limiter, command, refused, args, keyPrefix: `${prefix}${tag}:${shape}:`,
    probeKey: `${prefix}probe` };
}

function urlError(detail) {
  // The URL itself is never repeated: it may carry a password.
  return new TypeError('vorn: the Redis URL is not valid (redis://[[user]:password@]' +
    `host[:port][/db] or rediss://...): ${detail}`);
}

function checkUrl(url) {
  let parsed;
  try {
    parsed = new URL(url);
  } catch {
    throw urlError('it does not parse as a URL');
  }
  if (parsed.protocol !== 'redis:' && parsed.protocol !== 'rediss:') {
    throw urlError('the scheme must be redis:// or rediss://');
  }
  const db = parsed.pathname.replace(/^\//, '');
  if (db !== '' && !/^\d+$/.test(db)) throw urlError('the database must be a number');
}

function loadIoredis() {
  try {
    return require('ioredis');
  } catch (err) {
    throw new Error('vorn: the Redis engine needs the ioredis package (npm install ioredis)',
      { cause: err });
  }
}

// The text of an error for a log line, with the password (if any) masked.
function errorText(err, password) {
  const text = `${err && err.name ? err.name : 'Error'}: ${err && err.message}`;
  return password ? text.split(password).join('***') : text;
}

const sleep = (ms) => new Promise((resolve) => { setTimeout(resolve, ms).unref(); });

// RedisEngine(config, VornNode): config is a NodeConfig plus `redis` (a URL or an
// ioredis client), `redisPrefix`, `redisTimeoutMs`, `onError`, and for tests
// `clock` (a function giving milliseconds, passed to the scripts instead of the
// server's time). checkRequest(ip, route, startMs) returns a Promise of the
// VornNode result. Everything runs on the calling thread's event loop.
class RedisEngine {
  constructor(config, VornNode) {
    const local = {};
    for (const [name, value] of Object.entries(config)) {
      if (!REDIS_OPTION_NAMES.includes(name)) local[name] = value;
    }
    // Also checks the configuration exactly as the native engine does.
    this.local = new VornNode(local);
    // The limit and window clients are told, the same as the native engine's.
    const told = new VornNode({ ...local, mode: 'disabled' }).checkLimits('', '/', 0);
    this.policy = { limit: told.limit, windowMs: told.windowMs };
    this.algorithm = config.algorithm === undefined ? 'token_bucket' : config.algorithm;
    this.mode = ['shadow', 'disabled'].includes(config.mode) ? config.mode : 'active';
    this.onError = config.onError === undefined ? 'local' : config.onError;
    if (!ON_ERROR_CHOICES.includes(this.onError)) {
      throw new TypeError(`onError must be 'local', 'allow' or 'deny', not ${this.onError}`);
    }
    this.timeoutMs = config.redisTimeoutMs === undefined
      ? DEFAULT_TIMEOUT_MS : config.redisTimeoutMs;
    if (!(this.timeoutMs > 0)) throw new TypeError('redisTimeoutMs must be a positive number');
    this.probeIntervalMs = config.redisProbeIntervalMs || DEFAULT_PROBE_INTERVAL_MS;
    this.logger = config.logger || console;
    this.clock = config.clock;
    const prefix = config.redisPrefix === undefined ? DEFAULT_PREFIX : config.redisPrefix;
    this.limits = limitsFor(this.algorithm, config.capacity === undefined ? 100 : config.capacity,
      config.refillRate === undefined ? 10 : config.refillRate, prefix);

    if (typeof config.redis === 'string') {
      checkUrl(config.redis);
      const Redis = loadIoredis();
      this.client = new Redis(config.redis, {
        commandTimeout: this.timeoutMs,
        connectTimeout: Math.max(this.timeoutMs, 1000),  // the first connection only
        enableOfflineQueue: false,
        maxRetriesPerRequest: 0,
        retryStrategy: (times) => Math.min(times * 50, this.probeIntervalMs),
      });
      // A first connection that fails is reported once; later failures show in
      // the checks. Without a listener ioredis would print every attempt.
      this.client.on('error', (err) => {
        if (this.startingUntil === 0) return;
        this.startingUntil = 0;
        this.enterDegraded(err);
      });
      this.ownsClient = true;
    } else if (config.redis && typeof config.redis.defineCommand === 'function') {
      this.client = config.redis;
      this.ownsClient = false;
    } else {
      throw new TypeError('redis must be a redis:// or rediss:// URL or an ioredis client');
    }
    const options = this.client.options || {};
    this.where = options.path ? `unix:${options.path}`
      : `${options.host || 'localhost'}:${options.port || 6379}/${options.db || 0}`;
    this.password = options.password;
    if (typeof this.client[this.limits.command] !== 'function') {
      this.client.defineCommand(this.limits.command,
        { numberOfKeys: 1, lua: scriptText(this.limits.limiter) });
    }
    // While a client built here makes its first connection, checks are answered
    // without Redis and without a warning; a connection not up within the
    // connect timeout counts as a failure. ready() resolves once it is up.
    this.connectTimeoutMs = Math.max(this.timeoutMs, 1000);
    this.startingUntil = this.client.status === 'ready' ? 0 : Date.now() + this.connectTimeoutMs;
    this.connected = this.client.status === 'ready' ? Promise.resolve()
      : new Promise((resolve) => {
        this.client.once('ready', () => {
          this.startingUntil = 0;
          resolve();
        });
      });
    this.degradedNow = false;
    this.closed = false;
  }

  // True while checks are answered without Redis.
  get degraded() {
    return this.degradedNow || this.startingUntil !== 0;
  }

  // Resolves once the first connection is up (at once for a client given ready).
  ready() {
    return this.connected;
  }

  checkRequest(ip, route, startMs) {
    return this.check(ip, route, startMs, false);
  }

  // checkRequest's result followed by the limit figures, as VornNode.checkLimits.
  checkLimits(ip, route, startMs) {
    return this.check(ip, route, startMs, true);
  }

  async check(ip, route, startMs, told) {
    if (this.mode === 'disabled') {
      return told ? this.local.checkLimits(ip, route, startMs)
        : this.local.checkRequest(ip, route, startMs);
    }
    if (typeof ip !== 'string') throw new TypeError('ip must be a string');
    if (this.startingUntil !== 0) {
      if (Date.now() < this.startingUntil) return this.withoutRedis(ip, route, startMs, told);
      this.startingUntil = 0;
      this.enterDegraded(new Error(`no connection within ${this.connectTimeoutMs} ms`));
    }
    if (!this.degradedNow) {
      try {
        // "<1 or 0> <remaining> <message>", and when told "\n<next ms> <reset ms>"
        const reply = await this.runScript(ip, told);
        if (!told) {
          return this.result(reply.charCodeAt(0) === 49, reply.slice(reply.indexOf(' ', 2) + 1));
        }
        const [first, waits] = reply.split('\n');
        const result = this.result(first.charCodeAt(0) === 49, first.slice(first.indexOf(' ', 2) + 1));
        const [nextMs, resetMs] = waits.split(' ').map((wait) => (Number(wait) < 0 ? null : Number(wait)));
        return this.withFigures(result, Number(first.slice(2, first.indexOf(' ', 2))), nextMs, resetMs);
      } catch (err) {
        this.enterDegraded(err);
      }
    }
    return this.withoutRedis(ip, route, startMs, told);
  }

  withFigures(result, remaining, retryAfterMs, resetAfterMs) {
    return { ...result, limit: this.policy.limit, remaining, retryAfterMs, resetAfterMs,
      windowMs: this.policy.windowMs };
  }

  runScript(key, told = false) {
    const now = this.clock === undefined ? '' : String(Math.trunc(this.clock()));
    return this.runScriptOn(this.limits.keyPrefix + key, now, told);
  }

  async runScriptOn(fullKey, now, told = false) {
    const call = told
      ? this.client[this.limits.command](fullKey, ...this.limits.args, now, '1')
      : this.client[this.limits.command](fullKey, ...this.limits.args, now);
    if (this.ownsClient) return call;  // bounded by commandTimeout
    let timer;
    const late = new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error('Command timed out')), this.timeoutMs);
    });
    try {
      return await Promise.race([call, late]);
    } finally {
      clearTimeout(timer);
    }
  }

  result(admitted, message) {
    const shadow = this.mode === 'shadow';
    return {
      allowed: admitted || shadow,
      wouldBlock: !admitted,
      reason: admitted ? 'within_limit' : this.limits.refused,
      algorithm: this.algorithm,
      debugInfo: String(message),
    };
  }

  withoutRedis(ip, route, startMs, told = false) {
    if (this.onError === 'local') {
      return told ? this.local.checkLimits(ip, route, startMs)
        : this.local.checkRequest(ip, route, startMs);
    }
    const result = this.result(this.onError === 'allow', UNAVAILABLE_TEXT);
    if (this.onError === 'deny') result.reason = 'limit_exceeded';
    if (!told) return result;
    return this.onError === 'allow' ? this.withFigures(result, null, 0, null)
      : this.withFigures(result, 0, null, null);
  }

  enterDegraded(err) {
    if (this.degradedNow || this.closed) return;
    this.degradedNow = true;
    const answer = { local: 'from the in-process engine', allow: 'by allowing every request',
      deny: 'by refusing every request' }[this.onError];
    this.logger.warn(`vorn: Redis at ${this.where} failed (${errorText(err, this.password)}); ` +
      `answering ${answer} until it is back`);
    this.probe();
  }

  async probe() {
    while (!this.closed) {
      await sleep(this.probeIntervalMs);
      if (this.closed) return;
      try {
        // Back when the script runs again, not merely when Redis answers PING
        // (a full or read-only Redis still does).
        await this.runScriptOn(this.limits.probeKey, '');
      } catch {
        continue;
      }
      this.degradedNow = false;
      this.logger.warn(`vorn: Redis at ${this.where} answers again; checks go back to it`);
      return;
    }
  }

  // Stops the probe; disconnects the client when the engine built it from a URL.
  async close() {
    this.closed = true;
    if (this.ownsClient) this.client.disconnect();
  }
}

module.exports = { RedisEngine, limitsFor, scriptText, keyNumber, wholeCount, UNAVAILABLE_TEXT };
