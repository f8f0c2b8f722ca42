'use strict';
// Limits that belong to routes. A RouteLimit is one limit (a limit text on one
// store) that any number of routes check, each under its own scope, so two
// routes with the same limit never share a client's count unless `shared`
// names one scope for both. rateLimit() makes an Express route middleware of
// one, which also works as a node:http (req, res, next) step; defaultLimit()
// one for the routes that have no limit of their own; js/fastify.js a plugin.
//
// A request is counted when it arrives. With `count` other than 'all', a
// response that turns out not to count gives its cost back (engine.refund), so
// concurrent requests can never get more than the limit through.
const { ClientAddressResolver } = require('./address');
const { checkHeaderStyle, responseHeaders, setResponseHeaders } = require('./headers');
const {
  identityKey, routeOf, closestToRefusing, checkScopeName, scopeOfText, reportToConsole, isPromise,
  routesCaseless, SCOPE_SEPARATOR,
} = require('./middleware');
const { checkOptionNames } = require('./names');

// What a limit passes to createEngine, under the names it takes there.
const ENGINE_OPTIONS = ['limit', 'algorithm', 'mode', 'zone', 'zoneSize', 'zoneDir', 'redis',
  'redisPrefix', 'redisTimeoutMs', 'redisProbeIntervalMs', 'logger'];
const LIMIT_OPTIONS = new Set([...ENGINE_OPTIONS, 'engine', 'onStoreError', 'key', 'cost', 'count',
  'shared', 'name', 'enabled', 'skip', 'onRefused', 'headers', 'trustedProxies', 'forwardedHeader',
  'ipv6Prefix', 'onError']);
const COUNT_CHOICES = {
  failed: (req, res) => res.statusCode >= 400,
  successful: (req, res) => res.statusCode < 400,
};
const DEFAULT_SCOPE = 'default';
const MAX_POLICY_NAME_LENGTH = 200;
const REFUSED_BODY = 'Too Many Requests\n';
// Zone and Redis state outlives the limiter: reset() forgets the keys it checked,
// at most this many of the latest.
const MAX_REMEMBERED_KEYS = 10000;
// Marks the middlewares that give a route a limit of its own.
const OWN_LIMIT = Symbol('vorn.ownLimit');

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
    else if (inProcess && this.shared !== undefined) this.engine = sharedEngine(this.shared, this.engineConfig, makeEngine);
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
    return isPromise(result) ? result.then((settled) => ({ result: settled, key, cost, name }))
      : { result, key, cost, name };
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

// Leaves the result closest to refusing on req.vorn when a request meets several
// limits, and sets the fields of that one; true when `result` is it.
function decides(req, res, result, limit, name) {
  const earlier = req.vorn;
  if (earlier != null && earlier !== result &&
      closestToRefusing([{ result: earlier }, { result }]).result === earlier) return false;
  req.vorn = result;
  if (typeof res.setHeader === 'function') setResponseHeaders(res, result, limit.style, name);
  return true;
}

// Gives the refund of a counted request once its response is known.
function settleWhenDone(limit, taken, req, res) {
  if (typeof res.once !== 'function') return;
  let settled = false;
  const settle = () => {
    if (settled) return;
    settled = true;
    limit.settle(taken, req, res);
  };
  res.once('finish', settle);
  res.once('close', settle);
}

// Express's scope of a route middleware: the mount path and the route's path.
// The mount path is as the URL spells it, so an app that routes /AUTH/login to
// /auth's routes has it in lower case: one count, however the client writes it.
function expressScope(req) {
  let base = typeof req.baseUrl === 'string' ? req.baseUrl : '';
  if (base !== '' && routesCaseless(req)) base = base.toLowerCase();
  const route = req.route;
  if (route == null || route.path === undefined) return base;
  const routePath = route.path;
  return base + (typeof routePath === 'string' ? routePath : String(routePath));
}

// The middleware that checks `limit` under `scopeOf(req)`.
function middlewareOf(limit, scopeOf) {
  function answer(taken, req, res, next) {
    const { result, name } = taken;
    if (result.allowed) {
      decides(req, res, result, limit, name);
      if (limit.refundable(taken)) settleWhenDone(limit, taken, req, res);
      if (typeof next === 'function') next();
      return;
    }
    req.vorn = result;
    if (limit.onRefused) {
      setResponseHeaders(res, result, limit.style, name);
      limit.onRefused(req, res, result, next);
      return;
    }
    const headers = refusalHeaders(result, limit.style, name);
    headers['Content-Type'] = 'text/plain; charset=utf-8';
    headers['Content-Length'] = Buffer.byteLength(REFUSED_BODY);
    res.writeHead(429, headers);
    res.end(REFUSED_BODY);
  }
  function fail(err, req, res, next) {
    if (typeof next === 'function') return next(err);
    limit.report(err, req);
    if (!res.headersSent) {
      res.writeHead(500, { 'Content-Type': 'text/plain; charset=utf-8' });
      res.end('Internal Server Error\n');
    }
    return undefined;
  }
  return function rateLimited(req, res, next) {
    let taken;
    try {
      const scope = scopeOf(req);
      if (scope === null || !limit.appliesTo(req)) {
        if (typeof next === 'function') next();
        return;
      }
      taken = limit.take(req, req, scope);
      if (!isPromise(taken)) {
        answer(taken, req, res, next);
        return;
      }
    } catch (err) {
      fail(err, req, res, next);
      return;
    }
    taken.then((settled) => answer(settled, req, res, next))
      .then(undefined, (err) => fail(err, req, res, next));
  };
}

// Exposes a limit's switch and reset on its middleware.
function withControls(middleware, limit) {
  Object.defineProperty(middleware, 'enabled', {
    get: () => limit.enabled,
    set: (value) => { limit.enabled = value; },
  });
  middleware.reset = () => limit.reset();
  middleware.close = () => limit.close();
  middleware.limit = limit;
  return middleware;
}

function engineMaker() {
  return require('./index').createEngine;  // index.js requires this file: load it when used
}

// rateLimit('5/minute') or rateLimit({limit, key, zone, redis, ...}): a route's
// own limit, for app.post('/login', rateLimit('5/minute'), handler). Its scope
// is the route (req.baseUrl + req.route.path), or what app.use mounted it on.
function rateLimit(limitOrOptions) {
  const limit = new RouteLimit(optionsOf(limitOrOptions, 'rateLimit'), 'rateLimit', engineMaker());
  const middleware = withControls(middlewareOf(limit, expressScope), limit);
  middleware[OWN_LIMIT] = true;
  return middleware;
}

// The route an Express app would give `path` first, from its router's stack:
// 'own' when that route (or a mounted middleware before it) is a limit of
// ours, 'none' when a route without one takes it, undefined when none does.
const MAX_ROUTER_DEPTH = 16;
function routeLimitIn(stack, path, method, depth) {
  for (const layer of stack) {
    if (layer == null || typeof layer.match !== 'function') continue;
    let match;
    try {
      match = layer.match(path);
    } catch {
      continue;
    }
    if (!match) continue;
    const route = layer.route;
    if (route != null) {
      if (typeof route._handlesMethod === 'function' && !route._handlesMethod(method) &&
          method !== 'HEAD') continue;
      const verb = String(method).toLowerCase();
      const own = Array.isArray(route.stack) && route.stack.some((step) => step.handle &&
        step.handle[OWN_LIMIT] && (step.method === undefined || step.method === verb ||
          (verb === 'head' && step.method === 'get')));
      return own ? 'own' : 'none';
    }
    const handle = layer.handle;
    if (handle && handle[OWN_LIMIT]) return 'own';
    if (handle && Array.isArray(handle.stack) && depth < MAX_ROUTER_DEPTH) {
      const matched = typeof match.path === 'string' ? match.path : '';
      const rest = path.slice(matched.length);
      const found = routeLimitIn(handle.stack, rest.startsWith('/') ? rest : `/${rest}`, method, depth + 1);
      if (found !== undefined) return found;
    }
  }
  return undefined;
}

function hasOwnLimit(req) {
  const app = req.app;
  if (app == null) return false;
  let router;
  try {
    router = app.router;
  } catch {
    return false;
  }
  if (router == null || !Array.isArray(router.stack)) return false;
  return routeLimitIn(router.stack, routeOf(req), req.method, 0) === 'own';
}

// defaultLimit('100/minute'): app.use(defaultLimit(...)) limits every request
// whose route has no limit of its own, all of them under one scope, "default".
// With node:http (no Express app) it limits every request.
function defaultLimit(limitOrOptions) {
  const options = optionsOf(limitOrOptions, 'defaultLimit');
  if (options.shared !== undefined) throw new TypeError('defaultLimit has the scope "default"; shared does not apply');
  const limit = new RouteLimit(options, 'defaultLimit', engineMaker());
  return withControls(middlewareOf(limit, (req) => (hasOwnLimit(req) ? null : DEFAULT_SCOPE)), limit);
}

module.exports = {
  RouteLimit, RateLimitError, rateLimit, defaultLimit, refusalHeaders, decides, optionsOf,
  LIMIT_OPTIONS, DEFAULT_SCOPE,
};
