'use strict';
// Route limits as (req, res, next) middlewares, for Express and node:http:
// rateLimit() gives a route a limit of its own, defaultLimit() limits the
// routes that have none (see route_limit.js for what a limit counts).
const { setResponseHeaders } = require('./headers');
const { closestToRefusing, isPromise, routeOf, routesCaseless } = require('./middleware');
const {
  RouteLimit, RateLimitError, refusalHeaders, optionsOf, engineMaker, DEFAULT_SCOPE,
} = require('./route_limit');

const REFUSED_BODY = 'Too Many Requests\n';
// Marks the middlewares that give a route a limit of its own.
const OWN_LIMIT = Symbol('vorn.ownLimit');

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
      // Express 5's layers answer the matched path; Express 4's keep it on the layer.
      const matched = typeof match.path === 'string' ? match.path
        : typeof layer.path === 'string' ? layer.path : '';
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
    router = app._router || app.router;  // Express 4's, else Express 5's
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
  if (options.shared !== undefined) {
    throw new TypeError('defaultLimit has the scope "default"; shared does not apply');
  }
  const limit = new RouteLimit(options, 'defaultLimit', engineMaker());
  return withControls(middlewareOf(limit, (req) => (hasOwnLimit(req) ? null : DEFAULT_SCOPE)), limit);
}

module.exports = { rateLimit, defaultLimit, RateLimitError };
