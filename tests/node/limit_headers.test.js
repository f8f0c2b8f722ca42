'use strict';
// The rate-limit fields of results of one and several rates
// (tests/limit_headers.json, shared with the Python suite), by responseHeaders
// and by setResponseHeaders, the middleware's own path, alike.
const test = require('node:test');
const assert = require('node:assert');
const { responseHeaders, setResponseHeaders } = require('../../js/headers');
const { cases, now_ms: nowMs } = require('../limit_headers.json');

// The result as the addon gives it: camelCase keys, policies as objects.
function asNode(result) {
  const node = {};
  for (const [key, value] of Object.entries(result)) {
    const name = key.replace(/_([a-z])/g, (_, letter) => letter.toUpperCase());
    node[name] = key === 'policies' ? value.map(([limit, windowMs]) => ({ limit, windowMs })) : value;
  }
  return node;
}

function setFields(result, style, name) {
  const fields = [];
  setResponseHeaders({ setHeader: (field, value) => fields.push([field, value]) }, result, style, name);
  return fields;
}

test('every case by every maker', (t) => {
  t.mock.method(Date, 'now', () => nowMs);
  for (const { about, name = 'default', result, fields } of cases) {
    const node = asNode(result);
    for (const [style, expected] of Object.entries(fields)) {
      const label = `${about} (${style})`;
      assert.deepStrictEqual(responseHeaders(node, style, name), expected, label);
      // Twice: the second answer comes from the kept policy field.
      for (let round = 0; round < 2; round++) assert.deepStrictEqual(setFields(node, style, name), expected, label);
    }
  }
});

test('kept fields follow the policies', () => {
  const first = asNode(cases[2].result);
  const second = { ...first, policies: [{ limit: 10, windowMs: 1000 }, { limit: 500, windowMs: 86400000 }] };
  const third = { ...first };
  delete third.policies;
  for (const result of [first, second, third, first]) {
    assert.deepStrictEqual(setFields(result, 'draft', 'default'), responseHeaders(result, 'draft', 'default'));
  }
  assert.strictEqual(setFields(second, 'draft', 'default')[0][1],
    '"default-1s";q=10;w=1, "default-1d";q=500;w=86400');
  assert.strictEqual(setFields(third, 'draft', 'default')[0][1], '"default";q=10;w=1');
});
