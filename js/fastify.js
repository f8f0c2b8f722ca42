'use strict';
// The Fastify plugin: fastify.register(require('vorn/fastify'), { limit: '100/minute' })
// gives every route without a limit of its own the default limit (all of them
// under the one scope "default", unmatched URLs included). A route's
// `config: { rateLimit: '5/minute' }` (an options object as rateLimit takes, or
// a list of them that must all admit a request) is that route's own limit,
// scoped by its URL pattern; `{ rateLimit: false }` leaves it unlimited.
// A refusal is a RateLimitError (status 429, the rate-limit fields and
// Retry-After in its headers) handed to Fastify's error handling, so
// fastify.setErrorHandler shapes it; onRefused(request, reply, result) answers
// instead when given. The plugin is not encapsulated: it applies to the
// context that registers it. fastify.vorn holds `enabled` and reset().
const {
  RouteLimit, RateLimitError, refusalHeaders, optionsOf, engineMaker, LIMIT_OPTIONS, DEFAULT_SCOPE,
} = require('./route_limit');
const { responseHeaders } = require('./headers');
const { checkOptionNames } = require('./names');
const { closestToRefusing, isPromise } = require('./middleware');

const PLUGIN_OPTIONS = new Set([...[...LIMIT_OPTIONS].filter((name) => name !== 'shared'), 'hook']);
// Where the limits run: first (onRequest), or after the app's own hooks have
// parsed the body or authenticated the request, for keys that need them.
const HOOKS = ['onRequest', 'preValidation', 'preHandler'];
// A counted request whose response decides whether it keeps its count.
const TAKEN = Symbol('vorn.taken');

function setFields(reply, result, limit, policyName) {
  for (const [name, value] of responseHeaders(result, limit.style, policyName)) reply.header(name, value);
}

// Checks a route's limits in order, each counting the request as it admits
// it; the first refusal answers, and the limits after it are not checked. The
// fields (and request.vorn) are those of the limit closest to refusing.
function checkInTurn(request, reply, checks, scope, next) {
  let closest = null;
  const admitted = (limit, taken) => {
    if (closest === null || closestToRefusing([{ result: closest.result }, { result: taken.result }])
      .result === taken.result) closest = { limit, ...taken };
    if (limit.refundable(taken)) {
      taken.limit = limit;
      if (request[TAKEN] === undefined) request[TAKEN] = [];
      request[TAKEN].push(taken);
    }
  };
  const finish = () => {
    if (closest !== null) {
      request.vorn = closest.result;
      setFields(reply, closest.result, closest.limit, closest.name);
    }
    next();
  };
  const refuse = (limit, { result, name }) => {
    request.vorn = result;
    setFields(reply, result, limit, name);
    if (limit.onRefused) {
      limit.onRefused(request, reply, result);
      return;
    }
    // The status goes on the reply too: an error handler of the app's own
    // answers through it, and Fastify sets it for none.
    reply.code(429);
    next(new RateLimitError(result, refusalHeaders(result, limit.style, name)));
  };
  const from = (at) => {
    for (; at < checks.length; at++) {
      const limit = checks[at];
      if (!limit.appliesTo(request)) continue;
      const taken = limit.take(request, request.raw, scope);
      if (isPromise(taken)) {
        const after = at + 1;
        taken.then((settled) => {
          if (!settled.result.allowed) return refuse(limit, settled);
          admitted(limit, settled);
          return from(after);
        }).then(undefined, next);
        return;
      }
      if (!taken.result.allowed) {
        refuse(limit, taken);
        return;
      }
      admitted(limit, taken);
    }
    finish();
  };
  from(0);
}

function vornFastify(fastify, options, done) {
  let limits;
  try {
    checkOptionNames('vorn/fastify', options, PLUGIN_OPTIONS);
    limits = makeLimits(options);
  } catch (err) {
    done(err);
    return;
  }
  fastify.decorateRequest('vorn', null);
  fastify.decorate('vorn', limits.controls);

  // Finds a route's own limits as it is added, so a wrong one fails at startup.
  fastify.addHook('onRoute', (route) => {
    const own = route.config && route.config.rateLimit;
    if (own !== undefined && own !== null && own !== false) limits.ownList(own);
  });

  fastify.addHook(limits.hook, function checkRequest(request, reply, next) {
    let checks;
    try {
      if (!limits.on(request)) return next();
      const config = request.routeOptions.config;
      const own = config === undefined ? undefined : config.rateLimit;
      if (own === false) return next();
      if (own === undefined || own === null) {
        if (limits.byDefault === null) return next();
        checks = [limits.byDefault];
      } else {
        checks = limits.ownList(own);
      }
      const scope = checks[0] === limits.byDefault ? DEFAULT_SCOPE : config.url;
      checkInTurn(request, reply, checks, scope, next);
    } catch (err) {
      next(err);
    }
    return undefined;
  });

  fastify.addHook('onClose', (instance, closed) => {
    limits.close().then(() => closed(), closed);
  });

  fastify.addHook('onResponse', function settleRequest(request, reply, next) {
    const counted = request[TAKEN];
    if (counted !== undefined) {
      request[TAKEN] = undefined;
      for (const taken of counted) taken.limit.settle(taken, request, reply);
    }
    next();
  });
  done();
}

// The plugin's limits: its default, one per distinct route limit, and the
// switch and reset of them all.
function makeLimits(options) {
  const { limit, enabled, hook = 'onRequest', ...shared } = options;
  if (!HOOKS.includes(hook)) {
    throw new TypeError(`vorn/fastify: hook must be one of ${HOOKS.join(', ')}, not ${String(hook)}`);
  }
  const createEngine = engineMaker();
  const byDefault = limit == null ? null : new RouteLimit({ ...shared, limit }, 'vorn/fastify', createEngine);
  let on = enabled === undefined ? true : enabled;
  if (typeof on !== 'boolean' && typeof on !== 'function') {
    throw new TypeError('enabled must be true, false or a function of the request');
  }
  // A limit text gives one limit however many routes use it (their scopes keep
  // their counts apart); an options object gives its own.
  const byText = new Map();
  const byObject = new WeakMap();
  const every = byDefault === null ? [] : [byDefault];
  function own(given) {
    const cache = typeof given === 'string' ? byText : byObject;
    if (typeof given !== 'string' && (given === null || typeof given !== 'object')) {
      throw new TypeError('config.rateLimit must be a limit text, an options object or false');
    }
    let made = cache.get(given);
    if (made === undefined) {
      const routeOptions = optionsOf(given, 'config.rateLimit');
      checkOptionNames('config.rateLimit', routeOptions, LIMIT_OPTIONS);
      const inherited = { ...shared };
      if (routeOptions.engine !== undefined) {
        for (const name of Object.keys(inherited)) {
          if (!['key', 'skip', 'onRefused', 'headers', 'trustedProxies', 'forwardedHeader',
            'ipv6Prefix', 'onError', 'logRefusals', 'logger'].includes(name)) delete inherited[name];
        }
      }
      made = new RouteLimit({ ...inherited, ...routeOptions }, 'config.rateLimit', createEngine);
      cache.set(given, made);
      every.push(made);
    }
    return made;
  }
  // A route's limits: one, or a list of them.
  function ownList(given) {
    if (!Array.isArray(given)) return [own(given)];
    if (given.length === 0) throw new TypeError('config.rateLimit must not be an empty list');
    return given.map(own);
  }
  const controls = {
    get enabled() { return on; },
    set enabled(value) {
      if (typeof value !== 'boolean' && typeof value !== 'function') {
        throw new TypeError('enabled must be true, false or a function of the request');
      }
      on = value;
    },
    // Forgets every count of the plugin's limits (see RouteLimit.reset).
    reset() {
      const done = every.map((made) => made.reset()).filter(isPromise);
      return done.length === 0 ? undefined : Promise.all(done).then(() => undefined);
    },
  };
  return {
    byDefault, ownList, controls, hook,
    close: () => Promise.all(every.map((made) => made.close())),
    on: (request) => on === true || (on !== false && on(request) !== false),
  };
}

// Fastify's markers: the plugin's hooks reach the whole app, not only its own
// encapsulated context.
vornFastify[Symbol.for('skip-override')] = true;
vornFastify[Symbol.for('fastify.display-name')] = 'vorn';
vornFastify[Symbol.for('plugin-meta')] = { name: 'vorn', fastify: '5.x' };

module.exports = vornFastify;
module.exports.default = vornFastify;
module.exports.vornFastify = vornFastify;
module.exports.RateLimitError = RateLimitError;
