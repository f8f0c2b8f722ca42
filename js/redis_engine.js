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
//
// A limit of several rates (config.rates, as VornNode takes them) is decided in
// one call of lua/limits.lua on one key, so a request is counted by all of its
// rates or by none; so are checks of a cost other than 1, and refunds.
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
  'redisProbeIntervalMs', 'logger', 'clock', 'rates'];

const LIMITERS = {
  token_bucket: { tag: 'tb', command: 'vornTokenBucket', refused: 'token_exhausted' },
  sliding_window: { tag: 'sw', command: 'vornSlidingWindow', refused: 'limit_exceeded' },
  fixed_window: { tag: 'fw', command: 'vornFixedWindow', refused: 'limit_exceeded' },
  leaky_bucket: { tag: 'lb', command: 'vornLeakyBucket', refused: 'limit_exceeded' },
};
// lua/limits.lua, which decides any limit of one to four rates.
const LIMITS_COMMAND = 'vornLimits';

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

// What one configuration sends to Redis: the scripts' arguments and the key
// prefix that keeps engines with other limits apart. `args` are the one-rate
// script's (null for several rates); `rateArgs` are lua/limits.lua's, two per
// rate. A limit of one rate writes the same key and state as the one-rate engine
// of that capacity and rate (or count and window), so both share a client's
// state; the key of several rates names each rate as written.
function limitsFor(algorithm, capacity, refillRate, prefix, rates) {
  const limiter = limiterFor(algorithm);
  const wholeCosts = limiter === 'sliding_window' || limiter === 'fixed_window';
  let pairs;
  if (rates === undefined) {
    pairs = [[capacity, wholeCosts ? WINDOW_MS : refillRate]];
  } else {
    // The refill the native engine derives, in the same operations.
    pairs = rates.map(([count, windowMs]) => [count,
      wholeCosts ? windowMs : count * 1000 / windowMs]);
  }
  const rateArgs = [];
  const shapes = [];
  for (const [first, second] of pairs) {
    if (wholeCosts) {
      const count = wholeCount(first);
      rateArgs.push(count, String(second));
      shapes.push(`${count}:${second}`);
    } else {
      rateArgs.push(scriptNumber(first), scriptNumber(second));
      shapes.push(`${keyNumber(first)}:${keyNumber(second)}`);
    }
  }
  const { tag, command, refused } = LIMITERS[limiter];
  const single = pairs.length === 1;
  if (!single) {
    // The key of several rates names each as written: "tb:300/60000;1000/3600000:".
    shapes.splice(0, shapes.length, ...rates.map(([count, windowMs]) =>
      `${wholeCosts ? wholeCount(count) : keyNumber(count)}/${windowMs}`));
  }
  // probeKey lies outside every client's key space: what the probe of a failed Redis checks.
  return { limiter, kind: tag, command, refused, wholeCosts, single, rateArgs,
    args: single ? rateArgs : null, keyPrefix: `${prefix}${tag}:${shapes.join(';')}:`,
    probeKey: `${prefix}probe` };
}

// A request's cost (or a refund's amount), refused as the native engine refuses
// it: a finite number >= 0, whole for the window algorithms.
function checkedCost(cost, wholeCosts, algorithm) {
  if (cost === undefined) return 1;
  if (typeof cost !== 'number') {
    let given;
    if (typeof cost === 'string') given = `"${cost}"`;
    else if (typeof cost === 'bigint') given = `${cost}n`;
    else given = String(cost);
    throw new TypeError(`cost must be a number, not ${given}`);
  }
  if (!Number.isFinite(cost) || cost < 0) {
    throw new RangeError(`cost must be a finite number >= 0, not ${cost}`);
  }
  if (wholeCosts && !Number.isInteger(cost)) {
    throw new RangeError(`cost must be a whole number for ${algorithm}, not ${cost}`);
  }
  return cost;
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
    this.local = config.rates === undefined ? new VornNode(local)
      : new VornNode(local, config.rates, VornNode.withRates);
    // The limits and windows clients are told, the same as the native engine's.
    this.policies = this.local.policies;
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
      config.refillRate === undefined ? 10 : config.refillRate, prefix, config.rates);

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
    for (const [command, script] of [[this.limits.command, this.limits.limiter],
      [LIMITS_COMMAND, 'limits']]) {
      if (typeof this.client[command] !== 'function') {
        this.client.defineCommand(command, { numberOfKeys: 1, lua: scriptText(script) });
      }
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

  // checkRequest's result followed by the limit figures, as VornNode.checkLimits;
  // the request weighs `cost` (0: a look that counts nothing).
  checkLimits(ip, route, startMs, cost) {
    return this.check(ip, route, startMs, true, cost);
  }

  // Gives `cost` back to `key` (the address or identity checks key on) in every
  // rate; a key Redis holds nothing for stays so.
  async refund(key, cost = 1) {
    if (typeof key !== 'string') throw new TypeError('key must be a string');
    const amount = checkedCost(cost, this.limits.wholeCosts, this.algorithm);
    if (amount === 0) return;
    if (this.usable()) {
      try {
        await this.bounded(this.client[LIMITS_COMMAND](this.limits.keyPrefix + key,
          ...this.scriptHead(amount, 'refund')));
        return;
      } catch (err) {
        this.enterDegraded(err);
      }
    }
    this.local.refund(key, amount);
  }

  // Forgets `key` in every rate, for every engine of this limit on this Redis.
  async reset(key) {
    if (typeof key !== 'string') throw new TypeError('key must be a string');
    this.local.reset(key);
    if (!this.usable()) return;
    try {
      await this.bounded(this.client.del(this.limits.keyPrefix + key));
    } catch (err) {
      this.enterDegraded(err);
    }
  }

  async check(ip, route, startMs, told, cost) {
    if (this.mode === 'disabled') {
      return told ? this.local.checkLimits(ip, route, startMs, cost)
        : this.local.checkRequest(ip, route, startMs);
    }
    if (cost !== undefined && cost !== 1) {
      cost = checkedCost(cost, this.limits.wholeCosts, this.algorithm);
    }
    if (typeof ip !== 'string') throw new TypeError('ip must be a string');
    if (this.usable()) {
      try {
        if (!this.limits.single || (cost !== undefined && cost !== 1)) {
          return this.fromLimits(await this.runLimits(ip, cost === undefined ? 1 : cost), told);
        }
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
    return this.withoutRedis(ip, route, startMs, told, cost);
  }

  // Whether calls go to Redis now: not while degraded, nor while a first
  // connection is still coming up (one not up in time counts as a failure).
  usable() {
    if (this.startingUntil !== 0) {
      if (Date.now() < this.startingUntil) return false;
      this.startingUntil = 0;
      this.enterDegraded(new Error(`no connection within ${this.connectTimeoutMs} ms`));
    }
    return !this.degradedNow;
  }

  // "<1 or 0> <remaining> <deciding rate> <next ms> <reset ms> <message>"
  fromLimits(reply, told) {
    const words = reply.split(' ', 5);
    const result = this.result(words[0] === '1', reply.slice(words.join(' ').length + 1));
    if (!told) return result;
    const wait = (text) => (text === '-1' ? null : Number(text));
    return this.withFigures(result, Number(words[1]), wait(words[3]), wait(words[4]),
      Number(words[2]) - 1);
  }

  withFigures(result, remaining, retryAfterMs, resetAfterMs, rate = 0) {
    const { limit, windowMs } = this.policies[rate];
    const told = { ...result, limit, remaining, retryAfterMs, resetAfterMs, windowMs };
    if (this.policies.length > 1) told.policies = this.policies;
    return told;
  }

  now() {
    return this.clock === undefined ? '' : String(Math.trunc(this.clock()));
  }

  // lua/limits.lua's arguments after the key.
  scriptHead(cost, operation) {
    return [this.limits.kind, this.now(), scriptNumber(cost), operation, ...this.limits.rateArgs];
  }

  runLimits(key, cost) {
    return this.bounded(this.client[LIMITS_COMMAND](this.limits.keyPrefix + key,
      ...this.scriptHead(cost, 'check')));
  }

  runScript(key, told = false) {
    return this.runScriptOn(this.limits.keyPrefix + key, this.now(), told);
  }

  runScriptOn(fullKey, now, told = false) {
    if (!this.limits.single) {
      return this.bounded(this.client[LIMITS_COMMAND](fullKey, this.limits.kind, now, '1', 'check',
        ...this.limits.rateArgs));
    }
    return this.bounded(told
      ? this.client[this.limits.command](fullKey, ...this.limits.args, now, '1')
      : this.client[this.limits.command](fullKey, ...this.limits.args, now));
  }

  // A call's reply, within the timeout: a client built here bounds every command
  // by itself (commandTimeout); a client given gets a timer.
  async bounded(call) {
    if (this.ownsClient) return call;
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

  withoutRedis(ip, route, startMs, told = false, cost = undefined) {
    if (this.onError === 'local') {
      return told ? this.local.checkLimits(ip, route, startMs, cost)
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

module.exports = { RedisEngine, limitsFor, checkedCost, scriptText, keyNumber, wholeCount,
  UNAVAILABLE_TEXT };
