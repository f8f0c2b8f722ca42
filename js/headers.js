'use strict';
// The rate-limit fields a checked response carries, and Retry-After. A result
// that tells its limit (from an engine's checkLimits) gives, in the chosen style:
// - 'draft' (the default): RateLimit-Policy: "<name>";q=<limit>;w=<window s> and
//   RateLimit: "<name>";r=<remaining>;t=<reset s>, the fields of the HTTP working
//   group's current draft on rate-limit headers;
// - 'legacy': RateLimit-Limit, RateLimit-Remaining, RateLimit-Reset, the draft's
//   earlier separate fields;
// - 'x': X-RateLimit-Limit, X-RateLimit-Remaining, X-RateLimit-Reset;
// - 'none' (or null): no rate-limit fields.
// Reset times are seconds from now until the whole allowance is back, rounded
// up, except the 'x' style's X-RateLimit-Reset: the Unix time, in seconds rounded
// up, at which it is back, as most APIs send it. The draft's Integers stay within
// the 15 digits Structured Field parsers accept: a larger figure is sent as the
// largest. A result from an engine without checkLimits tells only that a refused
// request has none left.
// A result of several rates (its `policies`) lists every rate in the draft's
// RateLimit-Policy, one item each, named "<name>-<window>" with the window in the
// largest of d, h, m, s that writes it whole, else in ms ("default-1s",
// "default-1h", "default-1500ms"; "-never" for one that never refills); a name
// given twice also gets the rate's position ("default-1s-2"). RateLimit, and the
// legacy and x styles, tell the deciding rate: the result's limit and windowMs.

const HEADER_STYLES = ['draft', 'legacy', 'x', 'none'];
const DEFAULT_POLICY_NAME = 'default';
// Retry-After for a refusal that no wait will lift (an allowance that never refills).
const NEVER_RETRY_SECONDS = 60;

function checkHeaderStyle(style) {
  if (style === null) return 'none';
  if (style === undefined) return 'draft';
  if (!HEADER_STYLES.includes(style)) {
    throw new TypeError(`headers must be one of ${HEADER_STYLES.join(', ')}, or null; ` +
      `not ${JSON.stringify(style)}`);
  }
  return style;
}

const seconds = (ms) => Math.ceil(ms / 1000);
// The largest Integer of a Structured Field (RFC 8941): 15 digits.
const MAX_FIELD_INTEGER = 999999999999999;
const integer = (figure) => (figure > MAX_FIELD_INTEGER ? MAX_FIELD_INTEGER : figure);

// The few policy names and policies of a process, each made once: a request
// builds only its RateLimit field.
const quotedNames = new Map();
function quotedName(name) {
  let quoted = quotedNames.get(name);
  if (quoted === undefined) {
    quoted = `"${String(name).replace(/[\\"]/g, '\\$&')}"`;
    if (quotedNames.size < 1024) quotedNames.set(name, quoted);
  }
  return quoted;
}
// quoted name -> {limit, windowMs, field}: remade only when the figures change.
const policies = new Map();
function policyField(name, limit, windowMs) {
  let policy = policies.get(name);
  if (policy === undefined || policy.limit !== limit || policy.windowMs !== windowMs) {
    const window = windowMs == null ? '' : `;w=${integer(Math.max(1, seconds(windowMs)))}`;
    policy = { limit, windowMs, field: `${name};q=${integer(limit)}${window}` };
    if (policies.size < 1024 || policies.has(name)) policies.set(name, policy);
  }
  return policy.field;
}

const WINDOW_UNITS = [[86400000, 'd'], [3600000, 'h'], [60000, 'm'], [1000, 's']];
function windowLabel(windowMs) {
  if (windowMs == null) return 'never';
  for (const [unitMs, unit] of WINDOW_UNITS) {
    if (windowMs % unitMs === 0) return `${windowMs / unitMs}${unit}`;
  }
  return `${windowMs}ms`;
}

// name -> {policies, field, names}: the RateLimit-Policy field of several rates
// and the quoted name of each, remade only when the rates change.
const severalPolicies = new Map();
function samePolicies(kept, policies) {
  if (kept.length !== policies.length) return false;
  for (let at = 0; at < kept.length; at++) {
    if (kept[at].limit !== policies[at].limit || kept[at].windowMs !== policies[at].windowMs) return false;
  }
  return true;
}
function policiesOf(policyName, policies) {
  let made = severalPolicies.get(policyName);
  if (made === undefined || !samePolicies(made.policies, policies)) {
    const items = [];
    const names = [];
    const seen = new Set();
    policies.forEach(({ limit, windowMs }, at) => {
      let label = `${policyName}-${windowLabel(windowMs)}`;
      if (seen.has(label)) label += `-${at + 1}`;
      seen.add(label);
      const name = quotedName(label);
      const window = windowMs == null ? '' : `;w=${integer(Math.max(1, seconds(windowMs)))}`;
      items.push(`${name};q=${integer(limit)}${window}`);
      names.push(name);
    });
    made = { policies: policies.map(({ limit, windowMs }) => ({ limit, windowMs })),
      field: items.join(', '), names };
    if (severalPolicies.size < 1024 || severalPolicies.has(policyName)) {
      severalPolicies.set(policyName, made);
    }
  }
  return made;
}

// [RateLimit-Policy, the quoted name RateLimit tells] of a result.
function draftPolicy(policyName, result) {
  const policies = result.policies;
  if (policies == null || policies.length < 2) {
    const name = quotedName(policyName);
    return [policyField(name, result.limit, result.windowMs), name];
  }
  const made = policiesOf(policyName, policies);
  for (let at = 0; at < policies.length; at++) {
    const policy = made.policies[at];
    if (policy.limit === result.limit && policy.windowMs === result.windowMs) {
      return [made.field, made.names[at]];
    }
  }
  return [made.field, quotedName(policyName)];
}

// The RateLimit field of the draft: what is left now and when all of it is back.
function draftState(name, result) {
  return result.resetAfterMs == null ? `${name};r=${integer(result.remaining)}`
    : `${name};r=${integer(result.remaining)};t=${integer(seconds(result.resetAfterMs))}`;
}

// [name, value] pairs of the rate-limit fields of `result` in `style`.
function limitHeaders(result, style, policyName = DEFAULT_POLICY_NAME) {
  if (style === 'none') return [];
  if (result.limit == null) {
    // An engine that tells no figures: a refusal still means none is left.
    if (!result.wouldBlock) return [];
    return [[style === 'x' ? 'X-RateLimit-Remaining' : 'RateLimit-Remaining', '0']];
  }
  if (result.remaining == null) return [];  // disabled mode counts nothing
  if (style === 'draft') {
    const [policy, name] = draftPolicy(policyName, result);
    return [['RateLimit-Policy', policy], ['RateLimit', draftState(name, result)]];
  }
  const reset = result.resetAfterMs == null ? null
    : seconds(style === 'legacy' ? result.resetAfterMs : Date.now() + result.resetAfterMs);
  const prefix = style === 'legacy' ? 'RateLimit-' : 'X-RateLimit-';
  const headers = [[`${prefix}Limit`, String(result.limit)],
    [`${prefix}Remaining`, String(result.remaining)]];
  if (reset !== null) headers.push([`${prefix}Reset`, String(reset)]);
  return headers;
}

// Retry-After for a refused result: whole seconds, rounded up, never 0; null
// when the engine does not tell when a retry would pass.
function retryAfter(result) {
  if (!('retryAfterMs' in result)) return null;
  if (result.retryAfterMs === null) return String(NEVER_RETRY_SECONDS);
  return String(Math.max(1, seconds(result.retryAfterMs)));
}

// Every field a checked response carries: the limit fields, and Retry-After when
// the limiter refused (also in shadow mode, where nothing is refused).
function responseHeaders(result, style, policyName) {
  const headers = limitHeaders(result, style, policyName);
  if (result.wouldBlock) {
    const wait = retryAfter(result);
    if (wait !== null) headers.push(['Retry-After', wait]);
  }
  return headers;
}

// Sets every field of a checked answer on `res` with setHeader. The common
// case, the draft fields of a result that refused nothing, skips the list.
function setResponseHeaders(res, result, style, policyName = DEFAULT_POLICY_NAME) {
  if (style === 'draft' && !result.wouldBlock && result.limit != null && result.remaining != null) {
    if (result.policies === undefined) {
      const name = quotedName(policyName);
      res.setHeader('RateLimit-Policy', policyField(name, result.limit, result.windowMs));
      res.setHeader('RateLimit', draftState(name, result));
    } else {
      const [policy, name] = draftPolicy(policyName, result);
      res.setHeader('RateLimit-Policy', policy);
      res.setHeader('RateLimit', draftState(name, result));
    }
    return;
  }
  const fields = responseHeaders(result, style, policyName);
  for (let at = 0; at < fields.length; at++) res.setHeader(fields[at][0], fields[at][1]);
}

module.exports = {
  HEADER_STYLES, DEFAULT_POLICY_NAME, checkHeaderStyle, limitHeaders, responseHeaders, retryAfter,
  setResponseHeaders,
};
