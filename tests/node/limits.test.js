'use strict';
// js/limits.js: the limit texts of tests/limit_texts.txt, which the Python
// parser reads the same way, and window milliseconds.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const limits = require('../../js/limits');

function readTable() {
  let grammar = null;
  const cases = [];
  const lines = fs.readFileSync(path.join(__dirname, '..', 'limit_texts.txt'), 'utf8').split('\n');
  lines.forEach((line, index) => {
    if (line === '' || line.startsWith('#')) return;
    if (line.startsWith('grammar ')) {
      grammar = line.slice('grammar '.length);
      return;
    }
    const at = line.lastIndexOf(' => ');
    const text = JSON.parse(line.slice(0, at));
    const expected = line.slice(at + 4);
    const line_ = index + 1;
    if (expected.startsWith('error ')) cases.push({ line: line_, text, reason: expected.slice(6) });
    else cases.push({ line: line_, text, rates: JSON.parse(expected) });
  });
  return { grammar, cases };
}

test('every text of the table', () => {
  const { grammar, cases } = readTable();
  assert.strictEqual(limits.GRAMMAR, grammar);
  assert.ok(cases.length > 50);
  for (const { line, text, rates, reason } of cases) {
    const label = `line ${line}: ${JSON.stringify(text)}`;
    if (rates !== undefined) {
      assert.deepStrictEqual(limits.parseLimit(text), rates, label);
      continue;
    }
    assert.throws(() => limits.parseLimit(text), (err) => {
      assert.strictEqual(Object.getPrototypeOf(err), TypeError.prototype, label);
      assert.strictEqual(err.message, `limit ${JSON.stringify(text)}: ${reason}; ${grammar}`, label);
      return true;
    }, label);
  }
});

test('a limit that is not text is a TypeError', () => {
  for (const value of [undefined, null, 10, ['10/s'], { toString: () => '10/s' }]) {
    assert.throws(() => limits.parseLimit(value), { name: 'TypeError', message: /must be a string/ });
  }
});

test('a long text fails fast with its reason', () => {
  assert.throws(() => limits.parseLimit(`${'1'.repeat(100000)}/s`), /a count is at most 2\^53/);
  assert.throws(() => limits.parseLimit(`${'1'.repeat(100000)}x`), /cannot read/);
});

test('window milliseconds round to the nearest one within bounds', () => {
  const cases = [[1000, 1000], [0.5, 1], [1.4, 1], [1500.5, 1501], [31622400000, 31622400000],
    [31622400000.4, 31622400000]];
  for (const [ms, expected] of cases) assert.strictEqual(limits.windowMsOf(ms), expected, String(ms));
  for (const ms of [0, 0.4, -1, 31622400000.5, NaN, Infinity]) {
    assert.throws(() => limits.windowMsOf(ms), { name: 'RangeError', message: /366 days/ }, String(ms));
  }
  for (const ms of ['1000', null, 1000n]) {
    assert.throws(() => limits.windowMsOf(ms), { name: 'TypeError' }, String(ms));
  }
});
