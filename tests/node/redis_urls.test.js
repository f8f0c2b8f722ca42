'use strict';
// Redis URLs: every form both hosts accept reads to the same parts, and every
// malformed one is refused with the reason (tests/redis_urls.json, shared with
// tests/python/test_redis_urls.py); the password never appears in a message.
const assert = require('node:assert');
const test = require('node:test');

const { parseRedisUrl, describeRedisUrl } = require('../../js/redis_urls.js');
const cases = require('../redis_urls.json');

test('each form reads to its parts', () => {
  for (const [url, expected] of cases.parsed) {
    const parsed = parseRedisUrl(url);
    const picked = Object.fromEntries(Object.keys(expected).map((name) => [name, parsed[name]]));
    assert.deepStrictEqual(picked, expected, url);
  }
});

test('each malformed URL is refused with its reason', () => {
  for (const [url, reason] of cases.refused) {
    assert.throws(() => parseRedisUrl(url), (err) => err instanceof TypeError &&
      err.message.includes(reason), url);
  }
});

test('messages and descriptions hide the password', () => {
  assert.throws(() => parseRedisUrl('redis://:hunter2@h/x'),
    (err) => !err.message.includes('hunter2'));
  assert.strictEqual(describeRedisUrl(parseRedisUrl('redis+sentinel://:hunter2@s1/main/2')),
    'sentinel s1:26379/main/2');
});
