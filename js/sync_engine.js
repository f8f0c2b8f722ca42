'use strict';
// An engine that holds one limit across every process and machine pointed at
// one Redis, while each check is answered at once from this process's native
// state: a plain call that returns its result, never a Promise.
//
// The native engine keeps, per key, a mirror of the state Redis last told it, a
// lease reserved for this process in Redis, and what it admitted beyond the
// lease. Every `syncMs` one timer (unref'd: a process exit never waits on it)
// takes the native reports of the keys with anything to say and sends them in
// one script call (lua/sync.lua), whose answer hands each key its new state
// and lease. One round trip per interval, whatever the rate of checks.
//
// While a sync fails the engine is `degraded`: each process limits alone, and
// what it admits is pushed to Redis once a sync succeeds again.
//
// With a zone, every process of the machine on that zone with the same limit
// shares one table of keys in a file beside the zone's, and the one elected in
// that file syncs for all of them: the others skip their turns, so Redis sees
// one client per machine.
const crypto = require('node:crypto');
const { clientFromUrl, guardParser, loadIoredis, nextConnection } = require('./redis_clients.js');
const { parseRedisUrl, describeRedisUrl } = require('./redis_urls.js');
const { limitsFor, scriptNumber, scriptText } = require('./redis_core.js');
const counts = require('./counts');

const DEFAULT_PREFIX = 'vorn:';
const DEFAULT_SYNC_MS = 100;
const DEFAULT_MAX_OVERSHOOT = 0.02;
const SYNC_COMMAND = 'vornSync';
const SYNC_ALGORITHMS = ['token_bucket', 'fixed_window', 'leaky_bucket'];
const SYNC_ONLY_OPTIONS = ['redis', 'redisPrefix', 'redisTimeoutMs', 'syncMs', 'maxOvershoot',
  'logger', 'rates', 'zone', 'zoneDir', 'zoneSize'];
const LATE = Symbol('late');
// A sync's reply is given up after this many timeouts (the client built here
// gives the command up by then itself).
const GIVE_UP_TIMEOUTS = 20;
// A process counts among the live instances this many intervals after its last sync.
const LIVE_INTERVALS = 3;

// What both hosts send for one limit: the script's rate arguments, as the
// per-request engine's (capacity and refill per second for the buckets, count
// and window for the fixed window), and the start of every key, which names
// the limit as that engine's keys do inside one Cluster hash tag, so that one
// script call covers all of an engine's keys.
function syncLimit(prefix, algorithm, rates) {
  const limits = limitsFor(algorithm, 0, 0, prefix, rates);
  const shape = limits.keyPrefix.slice(prefix.length, -1);
  const keyPrefix = `${prefix}sync{${shape}}:`;
  return { tag: limits.kind, rateArgs: limits.rateArgs, keyPrefix,
    instancesKey: `${keyPrefix}instances`, callsKey: `${keyPrefix}calls` };
}

// The script's arguments for `reports`: the number of keys, the keys (the
// instances and calls sets first), then the limit, this instance, the call's
// number (a client's resending of the call is then run once) and five numbers a key.
function scriptArguments(engine, reports) {
  const { limit } = engine;
  const keys = [limit.instancesKey, limit.callsKey];
  const perKey = [];
  // Each report names its key by the digest the Redis engines' keys end with.
  for (const [digest, extra, unused, want, reset, leaseTimeMs] of reports) {
    keys.push(limit.keyPrefix + digest);
    perKey.push(scriptNumber(extra), scriptNumber(unused), scriptNumber(want), String(reset),
      String(leaseTimeMs));
  }
  return [keys.length, ...keys, limit.tag, String(engine.rates.length), ...limit.rateArgs,
    engine.instanceId, String(Math.max(1, Math.trunc(LIVE_INTERVALS * engine.syncMs))),
    String(++engine.callsMade), ...perKey];
}

// [serverNowMs, instances, answers] of the script's reply to `count` reports;
// an Error for any other reply.
function answersOf(reply, count) {
  if (!Array.isArray(reply) || reply.length !== count + 2 || !Number.isFinite(Number(reply[0]))) {
    throw new Error('the sync script answered with something that is not its answer');
  }
  const answers = new Array(count);
  for (let at = 0; at < count; at++) {
    const text = reply[at + 2];
    if (typeof text !== 'string') throw new Error('the sync script answered a key with no text');
    answers[at] = text.split(' ').map(Number);
  }
  return [Number(reply[0]), Number(reply[1]), answers];
}

function errorText(err, password) {
  const text = `${err && err.name ? err.name : 'Error'}: ${err && err.message}`;
  return password ? text.split(password).join('***') : text;
}

// Where `redis` (a URL, or an ioredis client the caller owns) points, as the
// log lines and the machine's shared table name it, and its password (masked
// in the log lines); `url` is the parsed URL, if one was given.
function placeOf(redis) {
  if (typeof redis === 'string') {
    const url = parseRedisUrl(redis);
    return { url, where: describeRedisUrl(url), password: url.password ?? undefined };
  }
  if (typeof (redis && redis.defineCommand) !== 'function') {
    throw new TypeError('createEngine: redis must be a Redis URL (redis://, rediss://, ' +
      'redis+cluster://, redis+sentinel://, unix://) or an ioredis client');
  }
  const options = redis.options || {};
  const redisOptions = options.redisOptions || options;
  const where = redis.isCluster ? 'cluster' : options.path ? `unix:${options.path}`
    : `${options.host || 'localhost'}:${options.port || 6379}/${options.db || 0}`;
  return { url: null, where, password: redisOptions.password };
}

// The ioredis client of `redis` at `place`, and whether the engine owns it.
function clientOf(redis, place, timeoutMs, syncMs) {
  if (place.url !== null) {
    // Reconnection is tried at least once an interval, so that a Redis that
    // is back gets the admissions made without it at about the next sync.
    const client = clientFromUrl(loadIoredis(), place.url, GIVE_UP_TIMEOUTS * timeoutMs,
      Math.max(Math.min(syncMs, 1000), 20));
    return { client, owned: true };
  }
  guardParser();
  return { client: redis, owned: false };
}

function positive(name, value, fallback) {
  if (value === undefined) return fallback;
  if (typeof value !== 'number' || !(value > 0 && value < Infinity)) {
    throw new TypeError(`createEngine: ${name} must be a finite number > 0, not ${value}`);
  }
  return value;
}

// SyncEngine(config, addon): config is a NodeConfig with `rates` ([count,
// windowMs] pairs), `redis` (a URL or an ioredis client), and optionally
// `syncMs`, `maxOvershoot` (the share of each rate that instances may admit
// beyond their leases, in all), `redisPrefix`, `redisTimeoutMs` (how long a sync
// waits for Redis), `logger`, and `zone` with `zoneDir` (the machine's shared
// table of keys). Everything runs on the calling thread's event loop.
class SyncEngine {
  constructor(config, addon) {
    const algorithm = config.algorithm === undefined ? 'token_bucket' : config.algorithm;
    if (!SYNC_ALGORITHMS.includes(algorithm)) {
      throw new TypeError('createEngine: sync works with token_bucket, fixed_window and leaky_bucket');
    }
    this.syncMs = positive('syncMs', config.syncMs, DEFAULT_SYNC_MS);
    this.maxOvershoot = config.maxOvershoot === undefined ? DEFAULT_MAX_OVERSHOOT
      : config.maxOvershoot;
    if (typeof this.maxOvershoot !== 'number' || !(this.maxOvershoot >= 0 && this.maxOvershoot <= 1)) {
      throw new TypeError(`createEngine: maxOvershoot must be a number from 0 to 1, not ${this.maxOvershoot}`);
    }
    this.timeoutMs = positive('redisTimeoutMs', config.redisTimeoutMs, Math.max(this.syncMs, 50));
    this.logger = config.logger || console;
    const local = {};
    for (const [name, value] of Object.entries(config)) {
      if (!SYNC_ONLY_OPTIONS.includes(name)) local[name] = value;
    }
    this.VornNode = addon.VornNode;
    if (!Array.isArray(config.rates)) {
      throw new TypeError('createEngine: syncMs needs a limit ("100/minute") or windowMs');
    }
    this.rates = config.rates;
    const place = placeOf(config.redis);
    this.prefix = config.redisPrefix === undefined ? DEFAULT_PREFIX : config.redisPrefix;
    const syncOptions = { maxOvershoot: this.maxOvershoot,
      intervalMs: Math.max(1, Math.round(this.syncMs)) };
    if (config.zone != null) {
      // The machine's processes share a table of keys only when they sync
      // it to the same place (as both hosts write it).
      const { keyPrefix } = syncLimit(this.prefix, algorithm, config.rates);
      Object.assign(syncOptions, { zone: config.zone, zoneScope: `${keyPrefix} ${place.where}` });
      if (config.zoneDir != null) syncOptions.zoneDir = config.zoneDir;
      if (config.zoneSize != null) syncOptions.zoneSize = config.zoneSize;  // the table's file
    }
    this.native = new addon.VornNode(local, config.rates, addon.VornNode.withRates, syncOptions);
    this.policies = this.native.policies;
    this.algorithm = algorithm;
    this.limit = syncLimit(this.prefix, algorithm, config.rates);

    const { client, owned } = clientOf(config.redis, place, this.timeoutMs, this.syncMs);
    this.client = client;
    this.ownsClient = owned;
    this.where = place.where;
    this.password = place.password;
    if (typeof client[SYNC_COMMAND] !== 'function') {
      // No fixed number of keys: the first argument says how many.
      client.defineCommand(SYNC_COMMAND, { lua: scriptText('sync') });
    }
    this.onClientError = () => {};
    client.on('error', this.onClientError);
    // A connection of ours never keeps the process alive; close() holds it
    // for its last push.
    this.onClientConnect = () => { this.holdConnection(false); };
    // Nor does its wait before the next attempt while Redis is away (ioredis
    // emits the event on the next tick, once the timer is set).
    this.onClientReconnecting = () => {
      const timer = this.client.reconnectTimeout;
      if (!this.closing && timer && typeof timer.unref === 'function') timer.unref();
    };
    if (owned) {
      client.on('connect', this.onClientConnect);
      client.on('reconnecting', this.onClientReconnecting);
    }
    this.instanceId = crypto.randomBytes(12).toString('base64url');
    this.callsMade = 0;
    this.failedSince = null;
    this.syncing = null;
    this.pending = null;
    this.closing = false;
    this.closed = false;
    counts.track(this, 'sync');
    this.timer = setInterval(() => { this.syncShared(); }, this.syncMs);
    this.timer.unref();
  }

  // True while the last sync failed (this process's, or on a zone the
  // machine's): each process then limits alone.
  get degraded() {
    return this.VornNode.syncDegraded(this.native);
  }

  checkRequest(ip, route, startMs) {
    return this.native.checkRequest(ip, route, startMs);
  }

  checkLimits(ip, route, startMs, cost) {
    return this.native.checkLimits(ip, route, startMs, cost);
  }

  // Gives `cost` back to `key`; Redis gets it at the next sync.
  refund(key, cost = 1) {
    this.native.refund(key, cost);
  }

  // Forgets `key` here at once and, at the next sync, for every process.
  reset(key) {
    this.native.reset(key);
  }

  stats() {
    return { ...this.native.stats(), degraded: this.degraded };
  }

  nameCounts(name) {
    this.native.nameCounts(name);
  }

  // Resolves after the next sync has run (whether it reached Redis or not).
  async ready() {
    await this.sync();
  }

  // Resolves to whether a sync, run now, reached Redis; the process stays
  // alive until it has (the timer's syncs do not hold it).
  sync() {
    const keep = setTimeout(() => {}, (GIVE_UP_TIMEOUTS + 1) * this.timeoutMs);
    return this.syncShared().finally(() => { clearTimeout(keep); });
  }

  // One sync: the reports out, the answers in. Overlapping calls share the one
  // in flight, so a slow Redis never gets two of this process's syncs at once.
  syncShared() {
    if (this.syncing === null) {
      this.syncing = this.syncOnce().finally(() => { this.syncing = null; });
    }
    return this.syncing;
  }

  async syncOnce() {
    // Another process of the machine syncs the shared keys this interval.
    // close()'s last push always runs: its reports hold what this process has
    // to give back itself.
    if (!this.closing && !this.VornNode.syncTurn(this.native)) {
      this.failedSince = null;  // the elected process tells whether Redis answers
      return true;
    }
    const reports = this.VornNode.syncReports(this.native, this.closing);
    try {
      if (this.client.status !== 'ready') await this.connection();
      const reply = await this.answer(this.client[SYNC_COMMAND](...scriptArguments(this, reports)));
      this.VornNode.syncApply(this.native, ...answersOf(reply, reports.length));
    } catch (err) {
      this.VornNode.syncFailed(this.native);
      this.failed(err);
      return false;
    }
    if (this.failedSince !== null) {
      this.failedSince = null;
      this.VornNode.setSyncDegraded(this.native, false);
      if (!this.closed) this.logger.warn(`vorn: Redis at ${this.where} answers again; the limit is shared again`);
    }
    return true;
  }

  failed(err) {
    if (this.failedSince !== null || this.closed) return;
    this.failedSince = Date.now();
    this.VornNode.setSyncDegraded(this.native, true);
    this.logger.warn(`vorn: Redis at ${this.where} failed (${errorText(err, this.password)}); ` +
      'each process limits alone until it is back');
  }

  // A timer of `ms` that is not waited for by the process but while closing.
  // It settles only after the loop's next look at its sockets, so that a
  // reply read while the loop was busy still comes first.
  after(ms) {
    let timer;
    const late = new Promise((resolve) => {
      timer = setTimeout(() => { setImmediate(resolve, LATE); }, ms);
    });
    if (!this.closing) timer.unref();
    return [late, () => clearTimeout(timer)];
  }

  // Resolves once the client is connected; fails after the timeout.
  async connection() {
    const connected = this.nextConnection();
    const [late, cancel] = this.after(this.timeoutMs);
    try {
      if (await Promise.race([connected, late]) === LATE) {
        throw new Error(`no connection within ${this.timeoutMs} ms`);
      }
    } finally {
      cancel();
    }
  }

  // The reply of `call`. One later than the timeout still counts when it
  // comes: its leases were granted and its debits made. Meanwhile checks spend
  // only their leases (the engine is not degraded), so waiting undershoots and
  // never overshoots. One that never comes is given up after GIVE_UP_TIMEOUTS
  // timeouts.
  async answer(call) {
    call.catch(() => {});
    const [lost, cancelLost] = this.after(GIVE_UP_TIMEOUTS * this.timeoutMs);
    try {
      const reply = await Promise.race([call, lost]);
      if (reply === LATE) throw new Error(`no answer within ${GIVE_UP_TIMEOUTS * this.timeoutMs} ms`);
      return reply;
    } finally {
      cancelLost();
    }
  }

  // Stops the timer after one last sync, which gives back this process's
  // unspent leases and pushes what it admitted (within the timeout);
  // disconnects the client when the engine built it from a URL.
  async close() {
    if (this.closed) return;
    clearInterval(this.timer);
    this.closing = true;
    this.holdConnection(true);
    const [late, cancel] = this.after(this.timeoutMs);
    try {
      if (this.syncing !== null) await Promise.race([this.syncing, late]);
      await Promise.race([this.syncShared(), late]);
    } finally {
      cancel();
    }
    this.closed = true;
    this.client.off('connect', this.onClientConnect);
    this.client.off('reconnecting', this.onClientReconnecting);
    // QUIT comes after the last sync on the connection, which Redis runs
    // even when its answer comes too late to wait for.
    if (this.ownsClient) this.client.quit().catch(() => { this.client.disconnect(); });
    else this.client.off('error', this.onClientError);
  }

  // Whether the connection of a client built here keeps the process alive.
  holdConnection(hold) {
    const { stream } = this.client;
    if (!this.ownsClient || !stream || typeof stream.ref !== 'function') return;
    if (hold) stream.ref();
    else stream.unref();
  }

  // Settles when the client's next connection is ready, or fails with the
  // error of its next attempt; shared by every sync that waits meanwhile.
  nextConnection() {
    return nextConnection(this);
  }

}

module.exports = { SyncEngine, syncLimit, SYNC_ALGORITHMS, DEFAULT_SYNC_MS, DEFAULT_MAX_OVERSHOOT };
