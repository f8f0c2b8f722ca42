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
// up. A result from an engine without checkLimits tells only that a refused
// request has none left.

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
    const window = windowMs == null ? '' : `;w=${Math.max(1, seconds(windowMs))}`;
    policy = { limit, windowMs, field: `${name};q=${limit}${window}` };
    if (policies.size < 1024 || policies.has(name)) policies.set(name, policy);
  }
  return policy.field;
}

// The RateLimit field of the draft: what is left now and when all of it is back.
function draftState(name, result) {
  return result.resetAfterMs == null ? `${name};r=${result.remaining}`
    : `${name};r=${result.remaining};t=${seconds(result.resetAfterMs)}`;
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
    const name = quotedName(policyName);
    return [['RateLimit-Policy', policyField(name, result.limit, result.windowMs)],
      ['RateLimit', draftState(name, result)]];
  }
  const reset = result.resetAfterMs == null ? null : seconds(result.resetAfterMs);
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
function setResponseHeaders(res, result, style, policyName) {
  if (style === 'draft' && !result.wouldBlock && result.limit != null && result.remaining != null) {
    const name = quotedName(policyName);
    res.setHeader('RateLimit-Policy', policyField(name, result.limit, result.windowMs));
    res.setHeader('RateLimit', draftState(name, result));
    return;
  }
  const fields = responseHeaders(result, style, policyName);
  for (let at = 0; at < fields.length; at++) res.setHeader(fields[at][0], fields[at][1]);
}

module.exports = {
  HEADER_STYLES, DEFAULT_POLICY_NAME, checkHeaderStyle, limitHeaders, responseHeaders, retryAfter,
  setResponseHeaders,
};
