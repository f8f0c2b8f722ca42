'use strict';
// An engine that keeps every client's count in Redis, so that all processes and
// machines pointed at one Redis (Python ones included) share one limit per client.
//
// Each check is one atomic round trip: the limiter's Lua script (lua/, shared with
// the Python package) runs on the client's key by EVALSHA and takes the time from
// the Redis server. When Redis cannot be reached, is slower than the timeout, or
// answers with anything but the script's answer, the check is answered as
// `onError` says ('local': from an in-process VornNode with the same
// configuration; 'allow'; 'deny'), one warning is logged, and a background probe
// brings the engine back to Redis once it answers again. No check waits longer
// than the timeout, a first connection included.
//
// The client is ioredis (js/redis_clients.js builds one from a URL: a Redis, a
// Sentinel-managed Redis or a Cluster): it runs defined Lua commands by SHA with
// the reload on NOSCRIPT built in, and follows a cluster's redirections. On a
// cluster each primary fails and comes back on its own.
//
// A limit of several rates (config.rates, as VornNode takes them) is decided in
// one call of lua/limits.lua on one key, so a request is counted by all of its
// rates or by none; so are checks of a cost other than 1, and refunds.
const path = require('node:path');
const { LIMITS_COMMAND, checkedCost, keyDigest, keyNumber, limitsFor, scriptNumber, scriptText,
  wholeCount } = require('./redis_core.js');
const { clientFromUrl, guardParser, loadIoredis, nextConnection } = require('./redis_clients.js');
const { parseRedisUrl, describeRedisUrl } = require('./redis_urls.js');
const counts = require('./counts');

const DEFAULT_PREFIX = 'vorn:';
const DEFAULT_TIMEOUT_MS = 50;
const DEFAULT_PROBE_INTERVAL_MS = 500;
const ON_ERROR_CHOICES = ['local', 'allow', 'deny'];
// "<1 or 0> <remaining> <message>", and when told "\n<next ms> <reset ms>".
const ONE_RATE_REPLY = /^([01]) ([0-9]+) [^\n]*(?:\n(-?[0-9]+) (-?[0-9]+))?$/;
// "<1 or 0> <remaining> <deciding rate> <next ms> <reset ms> <message>".
const LIMITS_REPLY = /^([01]) ([0-9]+) ([1-4]) (-?[0-9]+) (-?[0-9]+) /;
// What a timer gives a call that ran out of time.
const LATE = Symbol('late');
// The debug text of an answer given without Redis when onError is allow or deny.
const UNAVAILABLE_TEXT = 'redis unavailable';
const REDIS_OPTION_NAMES = ['redis', 'redisPrefix', 'redisTimeoutMs', 'onError',
  'redisProbeIntervalMs', 'logger', 'clock', 'rates'];

// The text of an error for a log line, with the password (if any) masked.
function errorText(err, password) {
  const text = `${err && err.name ? err.name : 'Error'}: ${err && err.message}`;
  return password ? text.split(password).join('***') : text;
}

// RedisEngine(config, VornNode): config is a NodeConfig plus `redis` (a URL or an
// ioredis Redis or Cluster), `redisPrefix`, `redisTimeoutMs`, `onError`, and for
// tests `clock` (a function giving milliseconds, passed to the scripts instead of
// the server's time). checkRequest(ip, route, startMs) returns a Promise of the
// VornNode result, within the timeout counted from the call, whatever Redis
// answers. Everything runs on the calling thread's event loop.
class RedisEngine {
  constructor(config, VornNode) {
    const local = {};
    for (const [name, value] of Object.entries(config)) {
      if (!REDIS_OPTION_NAMES.includes(name)) local[name] = value;
    }
    // Also checks the configuration exactly as the native engine does.
    this.local = config.rates === undefined ? new VornNode(local)
      : new VornNode(local, config.rates, VornNode.withRates);
    // Its checks are this engine's, counted as such: kept out of the process's
    // counts of in-process engines.
    this.local.nameCounts(counts.HIDDEN_NAME);
    this.countsName = 'default';
    this.ownCounts = [0, 0, 0, 0, 0];
    counts.track(this);
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
      const url = parseRedisUrl(config.redis);
      const Redis = loadIoredis();
      this.client = clientFromUrl(Redis, url, this.timeoutMs, this.probeIntervalMs);
      this.where = describeRedisUrl(url);
      this.password = url.password ?? undefined;
      this.ownsClient = true;
    } else if (config.redis && typeof config.redis.defineCommand === 'function') {
      guardParser();
      this.client = config.redis;
      this.ownsClient = false;
      const options = this.client.options || {};
      const redisOptions = options.redisOptions || options;
      this.where = this.client.isCluster ? 'cluster' : options.path ? `unix:${options.path}`
        : `${options.host || 'localhost'}:${options.port || 6379}/${options.db || 0}`;
      this.password = redisOptions.password;
    } else {
      throw new TypeError('redis must be a Redis URL (redis://, rediss://, redis+cluster://, ' +
        'redis+sentinel://, unix://) or an ioredis Redis or Cluster');
    }
    this.cluster = Boolean(this.client.isCluster);
    if (this.cluster) this.keySlot = require(require.resolve('cluster-key-slot',
      { paths: [path.dirname(require.resolve('ioredis'))] }));
    for (const [command, script] of [[this.limits.command, this.limits.limiter],
      [LIMITS_COMMAND, 'limits']]) {
      if (typeof this.client[command] !== 'function') {
        this.client.defineCommand(command, { numberOfKeys: 1, lua: scriptText(script) });
      }
    }
    // The servers (their names) that failed and are being probed.
    this.down = new Set();
    this.closed = false;
    // Without a listener ioredis would print every failed attempt; a failure
    // shows in the checks, and a connection that comes up ends a probe's wait.
    this.onClientError = () => {};
    this.onClientReady = () => { this.wake(); };
    this.client.on('error', this.onClientError);
    this.client.on('ready', this.onClientReady);
    this.wakers = new Set();
    this.connected = this.client.status === 'ready' ? Promise.resolve()
      : new Promise((resolve) => { this.client.once('ready', resolve); });
  }

  // True while checks (of some keys, on a cluster) are answered without Redis.
  get degraded() {
    return this.down.size > 0;
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
    const fullKey = this.limits.keyPrefix + keyDigest(key);
    const done = await this.call(fullKey, () => this.client[LIMITS_COMMAND](fullKey,
      ...this.scriptHead(amount, 'refund')));
    if (done === undefined) this.local.refund(key, amount);
  }

  // Forgets `key` in every rate, for every engine of this limit on this Redis.
  async reset(key) {
    if (typeof key !== 'string') throw new TypeError('key must be a string');
    this.local.reset(key);
    const fullKey = this.limits.keyPrefix + keyDigest(key);
    await this.call(fullKey, () => this.client.del(fullKey));
  }

  // This engine's checks since it was made, by outcome, as VornNode.stats.
  stats() {
    return Object.fromEntries(counts.OUTCOMES.map((outcome, at) => [outcome, this.ownCounts[at]]));
  }

  // The name (the metrics' limit label) this engine's checks count under.
  nameCounts(name) {
    if (typeof name !== 'string' || name === '') throw new TypeError('name must be a non-empty string');
    this.countsName = counts.countedName(name);
  }

  // `result`, counted for the metrics; `started` (performance.now()) when the
  // Redis call began, whose round trip is timed, else null.
  counted(result, started, byPolicy = false) {
    if (started !== null) counts.observeRoundTrip((performance.now() - started) / 1000);
    const outcome = this.mode === 'disabled' ? 3 : counts.outcomeOf(result, this.mode === 'shadow');
    this.ownCounts[outcome] += 1;
    if (byPolicy) this.ownCounts[4] += 1;
    counts.count(this.countsName, 'redis', outcome, byPolicy);
    return result;
  }

  async check(ip, route, startMs, told, cost) {
    if (this.mode === 'disabled') {
      return this.counted(told ? this.local.checkLimits(ip, route, startMs, cost)
        : this.local.checkRequest(ip, route, startMs), null);
    }
    if (cost !== undefined && cost !== 1) {
      cost = checkedCost(cost, this.limits.wholeCosts, this.algorithm);
    }
    if (typeof ip !== 'string') throw new TypeError('ip must be a string');
    const fullKey = this.limits.keyPrefix + keyDigest(ip);
    const several = !this.limits.single || (cost !== undefined && cost !== 1);
    const { command, args } = this.limits;
    const started = performance.now();
    const reply = await this.call(fullKey, several
      ? () => this.client[LIMITS_COMMAND](fullKey, ...this.scriptHead(cost ?? 1, 'check'))
      : () => (told ? this.client[command](fullKey, ...args, this.now(), '1')
        : this.client[command](fullKey, ...args, this.now())));
    if (reply !== undefined) {
      const result = several ? this.fromLimits(reply, told) : this.fromOneRate(reply, told);
      if (result !== null) return this.counted(result, started);
      this.failed(new Error('the script answered with something that is not a decision'),
        this.whereOf(fullKey));
    }
    return this.counted(this.withoutRedis(ip, route, startMs, told, cost), null, true);
  }

  // The server holding a key: the slot's primary on a cluster.
  whereOf(fullKey) {
    if (!this.cluster) return this.where;
    const nodes = this.client.slots[this.keySlot(fullKey)];
    return nodes && nodes[0] ? nodes[0] : this.where;
  }

  // The reply of send() on the server of fullKey within the timeout, counted
  // from now; undefined (the server then marked failed) when it failed in any way.
  // A first connection still coming up is waited for, within the same time.
  async call(fullKey, send) {
    const where = this.whereOf(fullKey);
    if (this.down.has(where)) return undefined;
    if (this.ownsClient && !this.cluster && this.client.status === 'ready') {
      // A connected client built here sends at once and bounds the command
      // itself (commandTimeout), so no timer of ours is needed.
      try {
        return await send();
      } catch (err) {
        this.callFailed(err, where);
        return undefined;
      }
    }
    let timer;
    const late = new Promise((resolve) => {
      timer = setTimeout(resolve, this.timeoutMs, LATE);
    });
    try {
      if (this.client.status !== 'ready') {
        if (await Promise.race([this.nextConnection(), late]) === LATE) {
          throw new Error(`no connection within ${this.timeoutMs} ms`);
        }
      }
      const sent = send();
      const reply = await Promise.race([sent, late]);
      if (reply === LATE) {
        sent.catch(() => {});
        throw new Error('Command timed out');
      }
      return reply;
    } catch (err) {
      this.callFailed(err, this.cluster ? this.whereOf(fullKey) : where);
      return undefined;
    } finally {
      clearTimeout(timer);
    }
  }

  callFailed(err, where) {
    // Replies come in order on a connection, so one that never ends holds up
    // every call behind it (and a huge one fills memory): a client built here
    // drops that connection and makes a new one.
    if (this.ownsClient && !this.cluster && /timed out/.test(String(err && err.message))) {
      this.client.disconnect(true);
    }
    this.failed(err, where);
  }

  // Settles when the client's next connection is ready, or fails with the
  // error of its next attempt (a refused certificate, say). Shared by every call
  // that waits meanwhile.
  nextConnection() {
    return nextConnection(this);
  }

  fromOneRate(reply, told) {
    const match = typeof reply === 'string' ? ONE_RATE_REPLY.exec(reply) : null;
    if (match === null || (told && match[3] === undefined)) return null;
    const newline = reply.indexOf('\n');
    const result = this.result(match[1] === '1',
      reply.slice(reply.indexOf(' ', 2) + 1, newline < 0 ? reply.length : newline));
    if (!told) return result;
    const wait = (text) => (Number(text) < 0 ? null : Number(text));
    return this.withFigures(result, Number(match[2]), wait(match[3]), wait(match[4]));
  }

  fromLimits(reply, told) {
    const match = typeof reply === 'string' ? LIMITS_REPLY.exec(reply) : null;
    if (match === null || Number(match[3]) > this.policies.length) return null;
    const result = this.result(match[1] === '1', reply.slice(match[0].length));
    if (!told) return result;
    const wait = (text) => (text === '-1' ? null : Number(text));
    return this.withFigures(result, Number(match[2]), wait(match[4]), wait(match[5]),
      Number(match[3]) - 1);
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

  failed(err, where) {
    if (this.down.has(where) || this.closed) return;
    this.down.add(where);
    const answer = { local: 'from the in-process engine', allow: 'by allowing every request',
      deny: 'by refusing every request' }[this.onError];
    this.logger.warn(`vorn: Redis at ${where} failed (${errorText(err, this.password)}); ` +
      `answering ${answer} until it is back`);
    this.probe(where);
  }

  // Ends every probe's wait at once (a connection came up).
  wake() {
    for (const waker of this.wakers) waker();
  }

  // Waits the probe interval, or less when a connection comes up meanwhile.
  rest() {
    return new Promise((resolve) => {
      const done = () => {
        clearTimeout(timer);
        this.wakers.delete(done);
        resolve();
      };
      const timer = setTimeout(done, this.probeIntervalMs);
      timer.unref();
      this.wakers.add(done);
    });
  }

  // A probe key on `where`; null when it holds no slot any more.
  probeKeyOn(where) {
    if (!this.cluster) return this.limits.probeKey;
    if (!this.client.slots.some((nodes) => nodes && nodes[0] === where)) return null;
    for (let tag = 0; ; tag++) {
      const key = `${this.limits.probeKey}{${tag}}`;
      if (this.whereOf(key) === where) return key;
    }
  }

  async probe(where) {
    // The first try comes at once: a server that failed one call may well
    // answer the next (a first connection, a failover already done).
    while (!this.closed) {
      if (this.cluster) {
        try {
          await this.client.refreshSlotsCache();
        } catch {
          // the next rest tries again
        }
      }
      const key = this.probeKeyOn(where);
      if (key === null) {
        this.up(where, 'holds no slot any more');
        return;
      }
      if (this.client.status === 'ready' && await this.probeOnce(key)) {
        this.up(where, 'answers again');
        return;
      }
      await this.rest();
    }
  }

  // Back when the script runs again, not merely when Redis answers PING (a
  // full or read-only Redis still does).
  async probeOnce(key) {
    let timer;
    const late = new Promise((resolve) => { timer = setTimeout(resolve, this.timeoutMs, LATE); });
    try {
      const call = this.limits.single
        ? this.client[this.limits.command](key, ...this.limits.args, '')
        : this.client[LIMITS_COMMAND](key, this.limits.kind, '', '1', 'check',
          ...this.limits.rateArgs);
      call.catch(() => {});
      const reply = await Promise.race([call, late]);
      return (this.limits.single ? this.fromOneRate(reply, false)
        : this.fromLimits(reply, false)) !== null;
    } catch {
      return false;
    } finally {
      clearTimeout(timer);
    }
  }

  up(where, words) {
    if (this.closed) return;
    this.down.delete(where);
    this.logger.warn(`vorn: Redis at ${where} ${words}; checks go back to it`);
  }

  // Stops the probes; disconnects the client when the engine built it from a URL.
  async close() {
    this.closed = true;
    this.wake();
    this.client.off('ready', this.onClientReady);
    // A client built here keeps its quiet error listener through the disconnect.
    if (this.ownsClient) this.client.disconnect();
    else this.client.off('error', this.onClientError);
  }
}

module.exports = { RedisEngine, limitsFor, checkedCost, scriptText, keyNumber, keyDigest,
  wholeCount, parseRedisUrl, UNAVAILABLE_TEXT };
