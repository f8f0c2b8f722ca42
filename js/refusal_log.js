'use strict';
// The refusal log: one structured line per refused request, through a logger
// with warn(object, message) (pino and console both fit), at most a set number
// of lines a second, so that an attack cannot flood the logs. The refusals left
// out are counted, and the next line written says how many there were
// (`omitted`). Each line's object: { limit, key, route, retryAfterS, shadow,
// omitted }: the limit's name, the client as the engine keyed it (an address,
// or "id:" and an identity), the route, the seconds until a retry passes (null
// when no wait lifts it), whether shadow mode let it through.

const DEFAULT_LINES_PER_SECOND = 10;

class RefusalLog {
  constructor(linesPerSecond, logger, clock = () => performance.now() / 1000) {
    this.linesPerSecond = linesPerSecond;
    this.logger = logger;
    this.clock = clock;
    this.second = -1;
    this.written = 0;
    this.omitted = 0;
    this.omittedTotal = 0;  // refusals left out since the log began
  }

  refused(limit, key, route, result) {
    const second = Math.floor(this.clock());
    if (second !== this.second) {
      this.second = second;
      this.written = 0;
    }
    if (this.written >= this.linesPerSecond) {
      this.omitted += 1;
      this.omittedTotal += 1;
      return;
    }
    this.written += 1;
    const omitted = this.omitted;
    this.omitted = 0;
    const wait = result.retryAfterMs;
    const retryAfterS = wait === null && 'retryAfterMs' in result ? null : Math.ceil((wait || 0) / 1000);
    const shadow = Boolean(result.allowed);
    const message = `vorn: ${shadow ? 'would refuse' : 'refused'} ${key} on ${route} by the limit ` +
      `${limit}; retry in ${retryAfterS === null ? 'never' : retryAfterS} s` +
      (omitted ? ` (${omitted} refusals not logged before this one)` : '');
    try {
      this.logger.warn({ limit, key, route, retryAfterS, shadow, omitted }, message);
    } catch {
      // A logger that throws must not fail the request it reports.
    }
  }
}

// The log a `logRefusals` option asks for: null for none (undefined, false),
// DEFAULT_LINES_PER_SECOND lines a second for true, else that many.
function refusalLogOf(setting, logger) {
  if (setting === undefined || setting === null || setting === false) return null;
  const lines = setting === true ? DEFAULT_LINES_PER_SECOND : setting;
  if (!Number.isInteger(lines) || lines <= 0) {
    throw new TypeError(`logRefusals must be true, false or a positive number of lines a second, not ${String(setting)}`);
  }
  if (logger !== undefined && (logger === null || typeof logger.warn !== 'function')) {
    throw new TypeError('logger must have a warn(object, message) method');
  }
  return new RefusalLog(lines, logger || console);
}

module.exports = { RefusalLog, refusalLogOf, DEFAULT_LINES_PER_SECOND };
