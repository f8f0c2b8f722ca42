'use strict';
// Rate-limiting middleware for Node's http server and Express-style stacks.
// It needs an engine (anything with checkRequest(ip, route, startMs), normally
// a VornNode); index.js builds one from a NodeConfig.
const { createHash } = require('node:crypto');
const { ClientAddressResolver } = require('./address');

const REFUSED_BODY = 'Too Many Requests\n';
const FAILED_BODY = 'Internal Server Error\n';
// Longer identities are keyed by their digest, so no request sets the key's size.
const MAX_IDENTITY_BYTES = 256;

// The limiter key of what an identity function returned, or null for none.
// Identity keys never equal an address key ("id:" or "id#" before them), so an
// identity a client controls cannot spend an address's allowance; an empty
// identity is none. Anything but a string, null or undefined is an error.
function identityKey(identity) {
  if (identity === undefined || identity === null || identity === '') return null;
  if (typeof identity !== 'string') {
    throw new TypeError(`identity must return a string, null or undefined, not ${typeof identity}`);
  }
  // A UTF-16 unit is at least one UTF-8 byte: only short texts need counting.
  if (identity.length <= MAX_IDENTITY_BYTES &&
      Buffer.byteLength(identity, 'utf8') <= MAX_IDENTITY_BYTES) {
    return `id:${identity}`;
  }
  return `id#sha256:${createHash('sha256').update(identity, 'utf8').digest('hex')}`;
}

function reportToConsole(err) {
  console.error('vorn: a request failed in the rate limiter:', err);
}

function isPromise(value) {
  return value !== null && typeof value === 'object' && typeof value.then === 'function';
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
// No exception ever leaves the middleware for the server: a failure goes to
// next(err) when there is a next, otherwise the request is answered 500 and
// the error handed to options.onError(err, req) (default: console.error).
function createRateLimiter(options = {}) {
  const engine = options.engine;
  if (!engine || typeof engine.checkRequest !== 'function') {
    throw new TypeError('createRateLimiter needs an engine with a checkRequest method');
  }
  const identity = options.identity;
  if (identity !== undefined && typeof identity !== 'function') {
    throw new TypeError('identity must be a function of the request');
  }
  const onError = options.onError === undefined ? reportToConsole : options.onError;
  if (typeof onError !== 'function') throw new TypeError('onError must be a function');
  const resolver = new ClientAddressResolver(
    options.trustedProxies || [], options.forwardedHeader || 'x-forwarded-for',
    options.ipv6Prefix);

  function check(req) {
    const peer = req.socket ? req.socket.remoteAddress : undefined;
    const header = resolver.readsHeader ? headerValue(req, resolver.header) : undefined;
    const address = resolver.resolve(peer, header);
    const key = identity ? identityKey(identity(req)) ?? address : address;
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

  // Reports `err` and answers 500 if nothing was sent yet; a response already
  // under way cannot be answered again, so its connection is cut unless it ended.
  // Never throws, and acts once per response however often it is called.
  const failed = new WeakSet();
  function fail(err, req, res) {
    try {
      onError(err, req);
    } catch (hookError) {
      reportToConsole(hookError);
    }
    if (res === null || typeof res !== 'object' || failed.has(res)) return;
    failed.add(res);
    try {
      if (!res.headersSent) {
        res.writeHead(500, {
          'Content-Type': 'text/plain; charset=utf-8',
          'Content-Length': Buffer.byteLength(FAILED_BODY),
        });
        res.end(FAILED_BODY);
      } else if (!res.writableEnded && typeof res.destroy === 'function') {
        res.destroy();
      }
    } catch (answerError) {
      reportToConsole(answerError);
      if (typeof res.destroy === 'function') res.destroy();
    }
  }

  function limiter(req, res, next) {
    let admitted;
    try {
      admitted = admit(req, res);
    } catch (err) {
      if (typeof next === 'function') return next(err);
      return fail(err, req, res);
    }
    if (isPromise(admitted)) {
      admitted.then((ok) => {
        if (ok && typeof next === 'function') next();
      }, (err) => (typeof next === 'function' ? next(err) : fail(err, req, res)));
      return undefined;
    }
    if (admitted && typeof next === 'function') next();
  }
  limiter.check = check;
  limiter.admit = admit;
  // The handler's own failures, thrown or as a rejected promise, are answered
  // and reported the same way: nothing reaches the server's event emitter.
  limiter.wrap = (handler) => function limited(req, res) {
    const serve = (admitted) => (admitted ? handler.call(this, req, res) : undefined);
    try {
      const admitted = admit(req, res);
      if (isPromise(admitted)) {
        return admitted.then(serve).then(undefined, (err) => fail(err, req, res));
      }
      const returned = serve(admitted);
      if (isPromise(returned)) returned.then(undefined, (err) => fail(err, req, res));
      return returned;
    } catch (err) {
      fail(err, req, res);
      return undefined;
    }
  };
  limiter.resolver = resolver;
  return limiter;
}

module.exports = { createRateLimiter, identityKey, routeOf };
