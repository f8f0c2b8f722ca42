'use strict';
// Limit texts as users write them: "5/minute", "100 per 5 minutes",
// "10/second; 1000/hour". A limit is 1 to MAX_RATES rates separated by ';' or
// ','. A rate is a whole count, '/' or 'per', an optional whole multiplier and
// a unit (s, sec, second, seconds, m, min, minute, minutes, h, hour, hours, d,
// day, days). Case is free, and so are spaces and tabs between the parts; none
// are needed ("10/5m"). vorn/limits.py reads the same texts the same way and
// fails with the same messages (tests/limit_texts.txt holds both to it).

const MAX_RATES = 4;
// The largest count a text may give: every count up to it is exact in a double.
const MAX_COUNT = 2 ** 53;
const MAX_WINDOW_MS = 366 * 86400000;

const UNIT_MS = new Map();
for (const [names, ms] of [[['s', 'sec', 'second', 'seconds'], 1000],
  [['m', 'min', 'minute', 'minutes'], 60000], [['h', 'hour', 'hours'], 3600000],
  [['d', 'day', 'days'], 86400000]]) {
  for (const name of names) UNIT_MS.set(name, ms);
}

const GRAMMAR = "a limit is 1 to 4 rates separated by ';' or ',', each a whole count, '/' or 'per', " +
  'an optional whole multiplier and a unit (s, sec, second, seconds, m, min, minute, ' +
  'minutes, h, hour, hours, d, day, days), for example "10/second; 1000/hour" or ' +
  '"100 per 5 minutes"';

// No u flag: /i then folds no other letter onto an ASCII one.
const RATE = /^[ \t]*([0-9]+)[ \t]*(?:\/|per)[ \t]*([0-9]*)[ \t]*([a-z]+)[ \t]*$/i;

const quoted = (text) => JSON.stringify(text);

function fail(text, reason) {
  return new TypeError(`limit ${quoted(text)}: ${reason}; ${GRAMMAR}`);
}

// The value of a run of decimal digits, exact up to MAX_COUNT; Infinity above it,
// where a double would round a count down to MAX_COUNT (as it does MAX_COUNT + 1).
const MAX_COUNT_DIGITS = String(MAX_COUNT);
function digitsValue(digits) {
  const significant = digits.replace(/^0+/, '');
  const above = significant.length > MAX_COUNT_DIGITS.length ||
    (significant.length === MAX_COUNT_DIGITS.length && significant > MAX_COUNT_DIGITS);
  return above ? Infinity : Number(significant);
}

// One rate of `text` (`part`, between separators) as [count, windowMs].
function parseRate(text, part) {
  const matched = RATE.exec(part);
  if (matched === null) {
    const written = part.replace(/^[ \t]+|[ \t]+$/g, '');
    throw fail(text, written ? `cannot read ${quoted(written)}` : 'a rate is missing');
  }
  const [, countDigits, multiplierDigits, unit] = matched;
  const count = digitsValue(countDigits);
  if (count > MAX_COUNT) throw fail(text, 'a count is at most 2^53');
  const unitMs = UNIT_MS.get(unit.toLowerCase());
  if (unitMs === undefined) throw fail(text, `unknown unit ${quoted(unit)}`);
  const multiplier = multiplierDigits ? digitsValue(multiplierDigits) : 1;
  if (multiplier === 0) throw fail(text, 'a window is at least 1 ms');
  if (multiplier > Math.floor(MAX_WINDOW_MS / unitMs)) throw fail(text, 'a window is at most 366 days');
  return [count, multiplier * unitMs];
}

// The rates of a limit text, in the order written, as [count, windowMs] pairs.
// A TypeError quoting the text and stating the grammar when it is not one.
function parseLimit(text) {
  if (typeof text !== 'string') {
    throw new TypeError(`a limit must be a string such as "10/second", not ${typeof text}`);
  }
  const parts = text.split(/[;,]/);
  if (parts.length > MAX_RATES) throw fail(text, `${parts.length} rates, at most 4`);
  return parts.map((part) => parseRate(text, part));
}

// A window given in milliseconds, rounded to the nearest one: a TypeError for a
// non-number, a RangeError outside 1 ms..366 days.
function windowMsOf(ms, name = 'windowMs') {
  if (typeof ms !== 'number') throw new TypeError(`${name} must be a number of milliseconds, not ${typeof ms}`);
  const rounded = Math.round(ms);
  if (!(rounded >= 1 && rounded <= MAX_WINDOW_MS)) {
    throw new RangeError(`${name} must be from 1 ms to 366 days (31622400000 ms), not ${ms}`);
  }
  return rounded;
}

module.exports = { GRAMMAR, MAX_COUNT, MAX_RATES, MAX_WINDOW_MS, parseLimit, windowMsOf };
