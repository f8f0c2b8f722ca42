'use strict';
// Rate-limiting middleware for Node's http server and Express-style stacks.
// It needs an engine (anything with checkRequest(ip, route, startMs), normally
// a VornNode); index.js builds one from a NodeConfig.
const { ClientAddressResolver } = require('./address');

const REFUSED_BODY = 'Too Many Requests\n';

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
// shadow mode every request goes through. The result is left on req.vorn.
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
    req.vorn = result;
    return result;
  }

  function admit(req, res) {
    if (check(req).allowed) return true;
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
    if (admitted && typeof next === 'function') next();
  }
  limiter.check = check;
  limiter.admit = admit;
  limiter.wrap = (handler) => function limited(req, res) {
    if (admit(req, res)) return handler.call(this, req, res);
    return undefined;
  };
  limiter.resolver = resolver;
  return limiter;
}

module.exports = { createRateLimiter, routeOf };
