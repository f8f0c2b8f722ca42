'use strict';
// The algorithm and mode names the friendly layer accepts. VornNode runs the
// token bucket for any unknown algorithm name and active mode for any unknown
// mode, as it must; a misspelt "Shadow" would then block real traffic. The
// factories of this package refuse such names instead.

const ALGORITHMS = Object.freeze(['token_bucket', 'sliding_window', 'fixed_window', 'leaky_bucket']);
const MODES = Object.freeze(['active', 'shadow', 'disabled']);

function checkName(kind, value, valid) {
  if (value === undefined) return;  // VornNode's default
  const listed = valid.join(', ');
  if (typeof value !== 'string') {
    throw new TypeError(`${kind} must be a string, one of: ${listed}; got ${typeof value}`);
  }
  if (!valid.includes(value)) {
    throw new RangeError(`unknown ${kind} ${JSON.stringify(value)}; valid names: ${listed}`);
  }
}

// What createEngine's config may hold: a NodeConfig's, a zone's, Redis's, and a limit's.
const CONFIG_OPTIONS = new Set(['algorithm', 'mode', 'capacity', 'refillRate', 'apiKey', 'debug',
  'backendUrl', 'requestsPerMinute', 'requestsPerSecond', 'burstLimit', 'burstMultiplier',
  'blockDurationMs', 'zone', 'zoneSize', 'zoneDir', 'onError', 'logger', 'redis', 'redisPrefix',
  'redisTimeoutMs', 'redisProbeIntervalMs', 'clock', 'limit', 'windowMs']);

// Throws a TypeError or RangeError, listing the valid names, when a NodeConfig
// names an unknown algorithm or mode (an absent name is the default), and a
// TypeError naming any option that no engine takes.
function checkConfigNames(config) {
  if (config === null || typeof config !== 'object') return;
  checkOptionNames('createEngine', config, CONFIG_OPTIONS);
  checkName('algorithm', config.algorithm, ALGORITHMS);
  checkName('mode', config.mode, MODES);
}

// Throws a TypeError naming every option of `options` that `known` lacks: a
// misspelt or foreign option (windowMs where limit is meant) would otherwise be
// dropped silently and leave a limit the user never asked for.
function checkOptionNames(where, options, known) {
  if (options === null || typeof options !== 'object') return;
  const unknown = Object.keys(options).filter((name) => !known.has(name));
  if (unknown.length === 0) return;
  const names = unknown.map((name) => JSON.stringify(name)).join(', ');
  throw new TypeError(`${where}: unknown option${unknown.length > 1 ? 's' : ''} ${names}; ` +
    `known options: ${[...known].join(', ')}`);
}

module.exports = { ALGORITHMS, MODES, checkConfigNames, checkOptionNames };
