'use strict';
// Rate-limiting middleware for Node's http server and Express-style stacks.
// It needs an engine (anything with checkRequest(ip, route, startMs), normally
// a VornNode); index.js builds one from a NodeConfig.
const { ClientAddressResolver } = require('./address');

const REFUSED_BODY = 'Too Many Requests\n';

function isPromise(value) {
  return value !== null && typeof value === 'object' && typeof value.then === 'function';
}

// A check that failed after the middleware returned cannot throw to the
// server: the request is answered 500 and the error reported.
function failLater(err, res) {
  console.error('vorn: a rate-limit check failed:', err);
  if (!res.headersSent) {
    res.writeHead(500, { 'Content-Type': 'text/plain; charset=utf-8' });
    res.end('Internal Server Error\n');
  }
}

function headerValue(req, name) {
  const value = req.headers ? req.headers[name] : undefined;
  return Array.isArray(value) ? value.join(',') : value;
}

// The request path without its query: the route the engine records.
function routeOf(req) {
  const url = String(req.originalUrl || req.url || '/');
  const end = url.search(/[?#]/);
  return (end < 0 ? url : url.slice(0, end)) || '/';
}

// Builds the limiter: a function (req, res, next) for Express-style stacks,
// with admit(req, res) and wrap(handler) for a plain http server. The key is the
// client address (the socket's, or the forwarding header's when the socket's is
// a trusted proxy), unless options.identity(req) returns a string, which is then
// the key. A refused request is answered 429 with RateLimit-Remaining: 0 (the
// addon's result carries no remaining count; a refusal means none is left). In
// shadow mode every request goes through. The result is left on req.vorn. An
// engine whose checkRequest returns a Promise (the Redis engine) makes the
// middleware call next() or the handler once it is settled.
function createRateLimiter(options = {}) {
  const engine = options.engine;
  if (!engine || typeof engine.checkRequest !== 'function') {
    throw new TypeError('createRateLimiter needs an engine with a checkRequest method');
  }
  const identity = options.identity;
  if (identity !== undefined && typeof identity !== 'function') {
    throw new TypeError('identity must be a function of the request');
  }
  const resolver = new ClientAddressResolver(
    options.trustedProxies || [], options.forwardedHeader || 'x-forwarded-for');

  function check(req) {
    const peer = req.socket ? req.socket.remoteAddress : undefined;
    const header = resolver.readsHeader ? headerValue(req, resolver.header) : undefined;
    let key = resolver.resolve(peer, header);
    if (identity) {
      const id = identity(req);
      if (typeof id === 'string') key = id;
    }
    const result = engine.checkRequest(key, routeOf(req), Date.now());
    if (isPromise(result)) {
      return result.then((settled) => {
        req.vorn = settled;
        return settled;
      });
    }
    req.vorn = result;
    return result;
  }

  // True when admitted, a Promise of it for an engine that answers with Promises.
  function admit(req, res) {
    const result = check(req);
    return isPromise(result) ? result.then((settled) => answer(settled, res)) : answer(result, res);
  }

  function answer(result, res) {
    if (result.allowed) return true;
    res.writeHead(429, {
      'Content-Type': 'text/plain; charset=utf-8',
      'Content-Length': Buffer.byteLength(REFUSED_BODY),
      'RateLimit-Remaining': '0',
    });
    res.end(REFUSED_BODY);
    return false;
  }

  function limiter(req, res, next) {
    let admitted;
    try {
      admitted = admit(req, res);
    } catch (err) {
      if (typeof next === 'function') return next(err);
      throw err;
    }
    if (isPromise(admitted)) {
      admitted.then((ok) => {
        if (ok && typeof next === 'function') next();
      }, (err) => (typeof next === 'function' ? next(err) : failLater(err, res)));
      return undefined;
    }
    if (admitted && typeof next === 'function') next();
  }
  limiter.check = check;
  limiter.admit = admit;
  limiter.wrap = (handler) => function limited(req, res) {
    const admitted = admit(req, res);
    if (isPromise(admitted)) {
      return admitted.then((ok) => (ok ? handler.call(this, req, res) : undefined),
        (err) => failLater(err, res));
    }
    if (admitted) return handler.call(this, req, res);
    return undefined;
  };
  limiter.resolver = resolver;
  return limiter;
}

module.exports = { createRateLimiter, routeOf };
