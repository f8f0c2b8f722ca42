'use strict';
// A RouteLimit is one limit (a limit text on one store) that any number of
// routes check, each under its own scope, so two routes with the same limit
// never share a client's count unless `shared` names one scope for both. The
// Express and node:http middlewares (rate_limit.js) and the Fastify plugin
// (fastify.js) are made of them. A RouteLimit is used from one thread.
//
// A request is counted when it arrives. With `count` other than 'all', a
// response that turns out not to count gives its cost back (engine.refund), so
// concurrent requests can never get more than the limit through.
const { ClientAddressResolver } = require('./address');
const { checkHeaderStyle, responseHeaders } = require('./headers');
const {
  identityKey, routeOf, checkScopeName, scopeOfText, reportToConsole, isPromise, SCOPE_SEPARATOR,
} = require('./middleware');
const { checkOptionNames } = require('./names');
const { nameCounts } = require('./counts');
const { refusalLogOf } = require('./refusal_log');

// What a limit passes to createEngine, under the names it takes there.
const ENGINE_OPTIONS = ['limit', 'algorithm', 'mode', 'zone', 'zoneSize', 'zoneDir', 'redis',
  'redisPrefix', 'redisTimeoutMs', 'redisProbeIntervalMs', 'logger'];
const LIMIT_OPTIONS = new Set([...ENGINE_OPTIONS, 'engine', 'onStoreError', 'key', 'cost', 'count',
  'shared', 'name', 'enabled', 'skip', 'onRefused', 'headers', 'trustedProxies', 'forwardedHeader',
  'ipv6Prefix', 'onError', 'logRefusals']);
const COUNT_CHOICES = {
  failed: (req, res) => res.statusCode >= 400,
  successful: (req, res) => res.statusCode < 400,
};
const DEFAULT_SCOPE = 'default';
const MAX_POLICY_NAME_LENGTH = 200;
// Zone and Redis state outlives the limiter: reset() forgets the keys it checked,
// at most this many of the latest.
const MAX_REMEMBERED_KEYS = 10000;

// A refusal as an error, for the frameworks' error handlers: status 429, and the
// rate-limit fields with Retry-After in `headers`, which Express's final handler
// and Fastify's error handling put on the answer.
class RateLimitError extends Error {
  constructor(result, headers = {}) {
    super('Too Many Requests');
    this.name = 'RateLimitError';
    this.status = 429;
    this.statusCode = 429;
    this.expose = true;
    this.code = 'VORN_RATE_LIMITED';
    this.headers = headers;
    this.result = result;
  }
}

function checkFunction(name, value) {
  if (value !== undefined && typeof value !== 'function') {
    throw new TypeError(`${name} must be a function`);
  }
}

function checkEnabled(value) {
  if (typeof value !== 'boolean' && typeof value !== 'function') {
    throw new TypeError('enabled must be true, false or a function of the request');
  }
  return value;
}

function checkCost(cost) {
  if (cost === undefined) return 1;
  if (typeof cost === 'function') return cost;
  if (typeof cost !== 'number') throw new TypeError(`cost must be a number or a function, not ${typeof cost}`);
  if (!(cost >= 0 && cost < Infinity)) throw new RangeError(`cost must be a finite number >= 0, not ${cost}`);
  return cost;
}

function checkCount(count) {
  if (count === undefined || count === 'all') return null;
  if (typeof count === 'function') return count;
  if (Object.prototype.hasOwnProperty.call(COUNT_CHOICES, count)) return COUNT_CHOICES[count];
  throw new TypeError(`count must be 'all', 'failed', 'successful' or a function of (req, res), ` +
    `not ${JSON.stringify(count)}`);
}

// The options of a limit given as a text alone or as an object.
function optionsOf(limitOrOptions, where) {
  if (typeof limitOrOptions === 'string') return { limit: limitOrOptions };
  if (limitOrOptions === null || typeof limitOrOptions !== 'object') {
    throw new TypeError(`${where} takes a limit text such as '5/minute' or an options object`);
  }
  return limitOrOptions;
}

// In-process engines of shared names: limits naming one scope with the same
// limit share a count in a process as they do on a zone or in Redis.
const sharedEngines = new Map();
function sharedEngine(shared, config, makeEngine) {
  const id = `${shared}${SCOPE_SEPARATOR}${JSON.stringify(config)}`;
  let engine = sharedEngines.get(id);
  if (engine === undefined) {
    engine = makeEngine(config);
    sharedEngines.set(id, engine);
  }
  return engine;
}

// A scope as a policy name: the route's ("/login"), or "default" for the root.
function policyName(scope) {
  return scope === '' || scope.length > MAX_POLICY_NAME_LENGTH ? DEFAULT_SCOPE : scope;
}

class RouteLimit {
  // `makeEngine(config)` builds an engine (createEngine); `where` names the
  // entry point in errors.
  constructor(options, where, makeEngine) {
    checkOptionNames(where, options, LIMIT_OPTIONS);
    if (options.engine === undefined && options.limit == null) {
      throw new TypeError(`${where} needs a limit, such as '5/minute'`);
    }
    if (options.engine !== undefined && ENGINE_OPTIONS.some((name) => options[name] !== undefined)) {
      throw new TypeError(`${where}: give an engine or its options (limit, zone, redis...), not both`);
    }
    for (const name of ['key', 'skip', 'onRefused', 'onError']) checkFunction(name, options[name]);
    this.engineConfig = {};
    for (const name of ENGINE_OPTIONS) {
      if (options[name] !== undefined) this.engineConfig[name] = options[name];
    }
    if (options.onStoreError !== undefined) this.engineConfig.onError = options.onStoreError;
    this.makeEngine = makeEngine;
    this.shared = options.shared === undefined ? undefined : checkScopeName('shared', options.shared);
    const inProcess = options.engine === undefined && this.engineConfig.zone == null &&
      this.engineConfig.redis == null;
    if (options.engine !== undefined) this.engine = options.engine;
    else if (inProcess && this.shared !== undefined) {
      this.engine = sharedEngine(this.shared, this.engineConfig, makeEngine);
    }
    else this.engine = makeEngine(this.engineConfig);
    if (!this.engine || typeof this.engine.checkRequest !== 'function') {
      throw new TypeError(`${where}: engine must have a checkRequest method`);
    }
    this.ownsEngine = options.engine === undefined;
    this.key = options.key;
    this.cost = checkCost(options.cost);
    this.counts = checkCount(options.count);
    // The policy name of the fields: given, else the shared name, else the scope.
    this.name = options.name === undefined ? this.shared : checkScopeName('name', options.name);
    this._enabled = options.enabled === undefined ? true : checkEnabled(options.enabled);
    this.skip = options.skip;
    this.onRefused = options.onRefused;
    this.style = checkHeaderStyle(options.headers);
    this.refusalLog = refusalLogOf(options.logRefusals, options.logger);
    const onError = options.onError || reportToConsole;
    // Called from events and settled Promises: a hook that throws must not
    // become an uncaught exception.
    this.report = (err, req) => {
      try {
        onError(err, req);
      } catch (hookError) {
        reportToConsole(hookError);
      }
    };
    this.resolver = new ClientAddressResolver(options.trustedProxies || [],
      options.forwardedHeader || 'x-forwarded-for', options.ipv6Prefix);
    // An engine of this limit's own is reset by replacing it; any other by its keys.
    this.remembered = inProcess && this.shared === undefined ? null : new Set();
  }

  get enabled() { return this._enabled; }

  set enabled(value) { this._enabled = checkEnabled(value); }

  // Whether `req` (the framework's request) is checked at all.
  appliesTo(req) {
    const enabled = this._enabled;
    if (enabled === false || (enabled !== true && enabled(req) === false)) return false;
    return !(this.skip && this.skip(req));
  }

  addressOf(raw) {
    const peer = raw.socket ? raw.socket.remoteAddress : undefined;
    let header;
    if (this.resolver.readsHeader && raw.headers) {
      const value = raw.headers[this.resolver.header];
      header = Array.isArray(value) ? value.join(',') : value;
    }
    return this.resolver.resolve(peer, header);
  }

  // Checks and counts one request under `scope`: {result, key, cost, name}, or a
  // Promise of it for an engine that answers with Promises. `req` is what the
  // key and cost functions are given, `raw` the node:http request under it.
  take(req, raw, scope) {
    if (!this.named) {
      // The metrics tell this limit's checks by the name its fields carry.
      this.named = true;
      if (this.ownsEngine) nameCounts(this.engine, this.name || policyName(scope));
    }
    const client = (this.key ? identityKey(this.key(req)) : null) ?? this.addressOf(raw);
    const key = (this.shared || scopeOfText(scope)) + SCOPE_SEPARATOR + client;
    const cost = typeof this.cost === 'function' ? this.cost(req) : this.cost;
    if (this.remembered !== null) this.remember(key);
    const engine = this.engine;
    const route = routeOf(raw);
    let result;
    if (typeof engine.checkLimits !== 'function') {
      if (cost !== 1) throw new TypeError('a cost other than 1 needs an engine with checkLimits');
      result = engine.checkRequest(key, route, Date.now());
    } else {
      result = cost === 1 ? engine.checkLimits(key, route, Date.now())
        : engine.checkLimits(key, route, Date.now(), cost);
    }
    const name = this.name || policyName(scope);
    if (isPromise(result)) {
      return result.then((settled) => {
        if (this.refusalLog !== null && settled.wouldBlock) this.refusalLog.refused(name, client, route, settled);
        return { result: settled, key, cost, name };
      });
    }
    if (this.refusalLog !== null && result.wouldBlock) this.refusalLog.refused(name, client, route, result);
    return { result, key, cost, name };
  }

  remember(key) {
    const keys = this.remembered;
    if (keys.has(key)) return;
    if (keys.size >= MAX_REMEMBERED_KEYS) keys.delete(keys.values().next().value);
    keys.add(key);
  }

  // Whether the answer to a taken request will be looked at: only then is a
  // refund possible.
  refundable(taken) {
    return this.counts !== null && taken.result.allowed && !taken.result.wouldBlock && taken.cost !== 0;
  }

  // Gives a counted request's cost back when its response does not count.
  settle(taken, req, res) {
    try {
      if (this.counts(req, res)) return;
      const refunded = this.engine.refund(taken.key, taken.cost);
      if (isPromise(refunded)) refunded.then(undefined, (err) => this.report(err, req));
    } catch (err) {
      this.report(err, req);
    }
  }

  // Closes the engine this limit made (a Redis connection from a URL).
  close() {
    const engine = this.engine;
    if (!this.ownsEngine || typeof engine.close !== 'function') return undefined;
    return engine.close();
  }

  // Forgets every count of this limit: an in-process engine is replaced; zone
  // and Redis keys are reset for the (at most 10,000 latest) keys checked here,
  // in every process. A Promise when the engine's resets are.
  reset() {
    if (this.remembered === null) {
      this.engine = this.makeEngine(this.engineConfig);
      return undefined;
    }
    const keys = [...this.remembered];
    this.remembered.clear();
    const done = keys.map((key) => this.engine.reset(key)).filter(isPromise);
    return done.length === 0 ? undefined : Promise.all(done).then(() => undefined);
  }
}

// The `[name, value]` fields of a refusal, Retry-After among them, as an object.
function refusalHeaders(result, style, name) {
  return Object.fromEntries(responseHeaders(result, style, name));
}

// createEngine, from index.js, which requires this file: looked up when used.
function engineMaker() {
  return require('./index').createEngine;
}

module.exports = {
  RouteLimit, RateLimitError, refusalHeaders, optionsOf, engineMaker, LIMIT_OPTIONS, DEFAULT_SCOPE,
};
