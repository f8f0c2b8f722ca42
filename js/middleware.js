'use strict';
// Rate-limiting middleware for Node's http server and Express-style stacks.
// It needs an engine (anything with checkRequest(ip, route, startMs), normally
// a VornNode); index.js builds one from a NodeConfig.
const { createHash } = require('node:crypto');
const { ClientAddressResolver } = require('./address');
const {
  DEFAULT_POLICY_NAME, checkHeaderStyle, responseHeaders, setResponseHeaders,
} = require('./headers');
const { checkOptionNames } = require('./names');
const { nameCounts } = require('./counts');
const { refusalLogOf } = require('./refusal_log');

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
  const raw = req.originalUrl || req.url || '/';
  const url = typeof raw === 'string' ? raw : String(raw);
  let end = url.indexOf('?');
  const hash = url.indexOf('#');
  if (hash >= 0 && (end < 0 || hash < end)) end = hash;
  if (end < 0) return url || '/';
  return end === 0 ? '/' : url.slice(0, end);
}

const RULE_OPTIONS = new Set(['engine', 'config', 'path', 'methods', 'identity', 'name']);
const LIMITER_OPTIONS = new Set(['engine', 'rules', 'config', 'buildEngine', 'identity', 'skip',
  'onRefused', 'headers', 'onError', 'trustedProxies', 'forwardedHeader', 'ipv6Prefix',
  'logRefusals', 'logger']);
// A scope's text is part of every key it makes: bounded, and never the separator.
const MAX_SCOPE_BYTES = 200;
const SCOPE_SEPARATOR = '\x1f';

// A scope the user named: refused when it could not be told apart in a key.
function checkScopeName(kind, name) {
  if (typeof name !== 'string' || name === '') throw new TypeError(`${kind} must be a non-empty string`);
  if (name.includes(SCOPE_SEPARATOR)) throw new TypeError(`${kind} must not contain "\\x1f"`);
  if (Buffer.byteLength(name, 'utf8') > MAX_SCOPE_BYTES) {
    throw new TypeError(`${kind} is at most ${MAX_SCOPE_BYTES} UTF-8 bytes`);
  }
  return name;
}

// A scope made from route text: a long or odd one is kept by its digest.
function scopeOfText(text) {
  if (!text.includes(SCOPE_SEPARATOR) && (text.length <= MAX_SCOPE_BYTES / 3 ||
      Buffer.byteLength(text, 'utf8') <= MAX_SCOPE_BYTES)) return text;
  return `#sha256:${createHash('sha256').update(text, 'utf8').digest('hex')}`;
}

// Whether `route` lies under the prefix `prefix` (no trailing slash; '' is the
// root) by whole segments: '/login' covers '/login' and '/login/x', never
// '/login-help'.
function underPrefix(route, prefix, caseless) {
  if (prefix === '') return true;
  const text = caseless ? route.toLowerCase() : route;
  if (!text.startsWith(prefix)) return false;
  return text.length === prefix.length || text[prefix.length] === '/';
}

// Express routes case-insensitively unless the app says otherwise; a plain
// http server's routes are its own code's, matched as written.
function routesCaseless(req) {
  const app = req.app;
  return app != null && typeof app.get === 'function' && !app.get('case sensitive routing');
}

// One rule of a limiter: an engine (or a NodeConfig to build one from), the
// requests it applies to (path: a prefix of whole segments, or a RegExp tested
// on the route; methods: a list of method names) and optionally its own
// identity function and policy name. A rule of a rules list (`scoped`) keys its
// clients under its own scope, so rules on one store never share counts.
function makeRule(rule, buildEngine, scoped) {
  if (rule === null || typeof rule !== 'object') throw new TypeError('each rule must be an object');
  checkOptionNames('a rule', rule, RULE_OPTIONS);
  const engine = rule.engine || (rule.config && buildEngine ? buildEngine(rule.config) : undefined);
  if (!engine || typeof engine.checkRequest !== 'function') {
    throw new TypeError('each rule needs an engine with a checkRequest method');
  }
  const { path, methods, identity } = rule;
  if (path !== undefined && typeof path !== 'string' && !(path instanceof RegExp)) {
    throw new TypeError('a rule path must be a string prefix or a RegExp');
  }
  if (methods !== undefined && (typeof methods === 'string' || methods === null ||
      typeof methods[Symbol.iterator] !== 'function')) {
    throw new TypeError('a rule\'s methods must be a list of method names');
  }
  if (identity !== undefined && typeof identity !== 'function') {
    throw new TypeError('identity must be a function of the request');
  }
  const name = rule.name === undefined ? DEFAULT_POLICY_NAME : checkScopeName('a rule name', rule.name);
  // The metrics tell a named rule's checks by its name.
  if (rule.name !== undefined) nameCounts(engine, name);
  const methodList = methods === undefined ? null : Array.from(methods, (m) => String(m).toUpperCase());
  const allowed = methodList === null ? null : new Set(methodList);
  const prefix = typeof path === 'string' ? path.replace(/\/+$/, '') : null;
  const lowerPrefix = prefix === null ? null : prefix.toLowerCase();
  let scope = null;
  if (scoped) {
    const written = path === undefined ? '' : typeof path === 'string' ? path : path.source;
    scope = rule.name !== undefined ? name
      : scopeOfText(methodList === null ? written : `${written} ${methodList.join(',')}`);
  }
  const check = typeof engine.checkLimits === 'function'
    ? (key, route) => engine.checkLimits(key, route, Date.now())
    : (key, route) => engine.checkRequest(key, route, Date.now());
  return {
    engine, identity, name, check,
    keyPrefix: scope === null ? '' : scope + SCOPE_SEPARATOR,
    // Applies to every request: no route or method to test.
    always: allowed === null && path === undefined,
    applies(method, route, req) {
      if (allowed !== null && !allowed.has(String(method || '').toUpperCase())) return false;
      if (path === undefined) return true;
      if (prefix !== null) {
        const caseless = routesCaseless(req);
        return underPrefix(route, caseless ? lowerPrefix : prefix, caseless);
      }
      path.lastIndex = 0;  // a global or sticky RegExp keeps state between tests
      return path.test(route);
    },
  };
}

// Orders checks from the closest to refusing: refusals first (the longest wait
// first), then shadow refusals, then the fewest requests left.
function closeness(result) {
  if (result.wouldBlock) {
    const wait = result.retryAfterMs == null ? Infinity : result.retryAfterMs;
    return [result.allowed ? 1 : 0, -wait];
  }
  return [2, result.remaining == null ? Infinity : result.remaining];
}

function closestToRefusing(checked) {
  let best = checked[0];
  if (checked.length === 1) return best;
  let bestRank = closeness(best.result);
  for (let at = 1; at < checked.length; at++) {
    const entry = checked[at];
    const rank = closeness(entry.result);
    if (rank[0] < bestRank[0] || (rank[0] === bestRank[0] && rank[1] < bestRank[1])) {
      best = entry;
      bestRank = rank;
    }
  }
  return best;
}

// Builds the limiter: a function (req, res, next) for Express-style stacks,
// with admit(req, res) and wrap(handler) for a plain http server. The key is the
// client address (the socket's, or the forwarding header's when the socket's is
// a trusted proxy; an IPv6 client by its /ipv6Prefix network), unless
// options.identity(req) returns a string, which is then the key.
// With options.rules (a list of rules, see makeRule) instead of options.engine,
// a request is checked against every rule that applies and refused if any
// refuses; the answer's fields and req.vorn describe the rule closest to
// refusing. Each rule keys its clients under its scope (its name when given,
// else its path and methods), so rules never share a count by sharing a store.
// An unknown option is a TypeError naming it. options.skip(req) returning true lets a request through unchecked.
// Every checked answer carries the rate-limit fields of options.headers
// ('draft', 'legacy', 'x' or null; see headers.js); a refused request is
// answered 429 with Retry-After, or by options.onRefused(req, res, result) when
// given. In shadow mode every request goes through, with the fields of the
// verdict it would have had. The result is left on req.vorn. An engine whose
// checks return Promises (the Redis engine) makes the middleware call next() or
// the handler once they are settled.
// No exception ever leaves the middleware for the server: a failure goes to
// next(err) when there is a next, otherwise the request is answered 500 and
// the error handed to options.onError(err, req) (default: console.error).
function createRateLimiter(options = {}) {
  checkOptionNames('createRateLimiter', options, LIMITER_OPTIONS);
  if (options.engine !== undefined && options.rules !== undefined) {
    throw new TypeError('createRateLimiter takes an engine or rules, not both');
  }
  let rules;
  if (options.rules !== undefined) {
    if (!Array.isArray(options.rules) || options.rules.length === 0) {
      throw new TypeError('rules must be a non-empty array');
    }
    rules = options.rules.map((rule) => makeRule(rule, options.buildEngine, true));
  } else {
    const engine = options.engine;
    if (!engine || typeof engine.checkRequest !== 'function') {
      throw new TypeError('createRateLimiter needs an engine with a checkRequest method');
    }
    rules = [makeRule({ engine })];
  }
  const identity = options.identity;
  if (identity !== undefined && typeof identity !== 'function') {
    throw new TypeError('identity must be a function of the request');
  }
  for (const name of ['skip', 'onRefused']) {
    if (options[name] !== undefined && typeof options[name] !== 'function') {
      throw new TypeError(`${name} must be a function`);
    }
  }
  const { skip, onRefused } = options;
  const style = checkHeaderStyle(options.headers);
  const refusalLog = refusalLogOf(options.logRefusals, options.logger);
  const onError = options.onError === undefined ? reportToConsole : options.onError;
  if (typeof onError !== 'function') throw new TypeError('onError must be a function');
  const resolver = new ClientAddressResolver(
    options.trustedProxies || [], options.forwardedHeader || 'x-forwarded-for',
    options.ipv6Prefix);

  function addressOf(req) {
    const peer = req.socket ? req.socket.remoteAddress : undefined;
    const header = resolver.readsHeader ? headerValue(req, resolver.header) : undefined;
    return resolver.resolve(peer, header);
  }

  // The key `rule` checks `req` under; `shared` caches the middleware's own
  // identity between the rules of one request.
  function keyOf(req, rule, address, shared) {
    if (rule.identity) return rule.keyPrefix + (identityKey(rule.identity(req)) ?? address);
    if (shared.key === undefined) shared.key = identity ? identityKey(identity(req)) ?? address : address;
    return rule.keyPrefix + shared.key;
  }

  // [{rule, result}] of the rules that apply (results may be Promises), or null.
  function runRules(req, route) {
    const applying = rules.filter((rule) => rule.applies(req.method, route, req));
    if (applying.length === 0) return null;
    const address = addressOf(req);
    const shared = { key: undefined };
    return applying.map((rule) => ({ rule, result: rule.check(keyOf(req, rule, address, shared), route) }));
  }

  // The refusal log's line of a refused request (or one shadow mode let through).
  function logRefusal(req, rule, result) {
    const identify = rule.identity || identity;
    const key = (identify ? identityKey(identify(req)) : null) ?? addressOf(req);
    refusalLog.refused(rule.name, key, routeOf(req), result);
  }

  // Leaves the deciding result on the request; returns the {rule, result}.
  function settle(req, chosen) {
    req.vorn = chosen.result;
    if (refusalLog !== null && chosen.result.wouldBlock) logRefusal(req, chosen.rule, chosen.result);
    return chosen;
  }

  // The deciding {rule, result} of a request (a Promise of it for engines that
  // answer with Promises), or null when no rule applies or skip says so.
  function decideRequest(req) {
    if (skip && skip(req)) return null;
    const route = routeOf(req);
    if (rules.length === 1) {
      // One rule: none of the lists of the general case.
      const rule = rules[0];
      if (!rule.always && !rule.applies(req.method, route, req)) return null;
      const address = addressOf(req);
      const key = rule.identity || identity || rule.keyPrefix !== ''
        ? keyOf(req, rule, address, { key: undefined }) : address;
      const result = rule.check(key, route);
      return isPromise(result) ? result.then((settled) => settle(req, { rule, result: settled }))
        : settle(req, { rule, result });
    }
    const checked = runRules(req, route);
    if (checked === null) return null;
    if (checked.some(({ result }) => isPromise(result))) {
      return Promise.all(checked.map(({ result }) => result)).then((settled) =>
        settle(req, closestToRefusing(settled.map((result, at) => ({ rule: checked[at].rule, result })))));
    }
    return settle(req, closestToRefusing(checked));
  }

  // The deciding result (also left on req.vorn), a Promise of it for engines
  // that answer with Promises, or null when no rule applies or skip says so.
  function check(req) {
    const chosen = decideRequest(req);
    if (chosen === null) return null;
    return isPromise(chosen) ? chosen.then((settled) => settled.result) : chosen.result;
  }

  // True when admitted, a Promise of it for an engine that answers with Promises.
  function admitAny(req, res) {
    const chosen = decideRequest(req);
    if (chosen === null) return true;
    return isPromise(chosen)
      ? chosen.then((settled) => answer(settled.result, req, res, settled.rule.name))
      : answer(chosen.result, req, res, chosen.rule.name);
  }

  // The common configuration, one rule for every request and no identity or
  // skip, written out: the same steps as admitAny without its calls, which in a
  // busy server cost about as much as the steps themselves. (A property added
  // to a request is dear in frameworks whose requests keep many: only req.vorn
  // is added.)
  const only = rules.length === 1 && rules[0].always && !rules[0].identity && !identity && !skip &&
    rules[0].keyPrefix === '' ? rules[0] : null;
  function admitOnly(req, res) {
    const socket = req.socket;
    const peer = socket ? socket.remoteAddress : undefined;
    const known = typeof peer === 'string' ? resolver.peers.get(peer) : undefined;
    const key = known !== undefined && !known.trusted ? known.key : addressOf(req);
    const result = only.check(key, routeOf(req));
    if (isPromise(result)) {
      return result.then((settled) => {
        req.vorn = settled;
        if (refusalLog !== null && settled.wouldBlock) logRefusal(req, only, settled);
        return answer(settled, req, res, only.name);
      });
    }
    req.vorn = result;
    if (refusalLog !== null && result.wouldBlock) logRefusal(req, only, result);
    if (!result.allowed) return answer(result, req, res, only.name);
    if (typeof res.setHeader === 'function') setResponseHeaders(res, result, style, only.name);
    return true;
  }
  const admit = only !== null ? admitOnly : admitAny;

  // Sets the answer's fields; answers a refused request. True when admitted.
  function answer(result, req, res, policyName) {
    // A bare response object without setHeader gets no fields on an admitted
    // answer, so they are not even made for it.
    const settable = typeof res.setHeader === 'function';
    if (result.allowed || onRefused) {
      if (settable) setResponseHeaders(res, result, style, policyName);
      if (result.allowed) return true;
      onRefused(req, res, result);
      return false;
    }
    const fields = responseHeaders(result, style, policyName);
    const headers = {
      'Content-Type': 'text/plain; charset=utf-8',
      'Content-Length': Buffer.byteLength(REFUSED_BODY),
    };
    for (const [name, value] of fields) headers[name] = value;
    res.writeHead(429, headers);
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
    try {
      const admitted = admit(req, res);
      if (isPromise(admitted)) {
        return admitted.then((ok) => (ok ? handler.call(this, req, res) : undefined))
          .then(undefined, (err) => fail(err, req, res));
      }
      if (!admitted) return undefined;
      const returned = handler.call(this, req, res);
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

module.exports = {
  createRateLimiter, identityKey, routeOf, closestToRefusing, checkScopeName, scopeOfText, underPrefix,
  routesCaseless, reportToConsole, isPromise, SCOPE_SEPARATOR,
};
