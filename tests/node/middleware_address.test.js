'use strict';
// Client keys of the middleware: canonical addresses and the trusted-proxy walk.
// The cases are shared with the Python suite (tests/middleware_addresses.json),
// so that both packages give one client the same key.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { repoRoot } = require('./addon');
const { ClientAddressResolver, canonicalAddress } = require(path.join(repoRoot, 'js', 'address.js'));

const { identityKey } = require(path.join(repoRoot, 'js', 'middleware.js'));
const cases = require(path.join(repoRoot, 'tests', 'middleware_addresses.json'));

test('canonical addresses follow the shared table', () => {
  cases.canonical.forEach(([text, expected], index) => {
    assert.strictEqual(canonicalAddress(text), expected, `row ${index}: ${JSON.stringify(text)}`);
  });
  assert.strictEqual(canonicalAddress(undefined), null);
});

test('resolver picks the key of the shared table', () => {
  for (const c of cases.resolve) {
    const resolver = new ClientAddressResolver(c.trusted, c.forwardedHeader, c.ipv6Prefix);
    const header = c.headerParts
      ? c.headerParts.map(([text, count]) => text.repeat(count)).join('') : c.header;
    assert.strictEqual(resolver.resolve(c.peer ?? undefined, header), c.key, c.why);
  }
});

test('remembered peers give the same keys as fresh ones', () => {
  // One resolver per configuration sees every case of the table twice, with
  // enough other peers in between to overflow what it remembers.
  const resolvers = new Map();
  for (let pass = 0; pass < 2; pass++) {
    for (const c of cases.resolve) {
      const config = JSON.stringify([c.trusted, c.forwardedHeader, c.ipv6Prefix]);
      if (!resolvers.has(config)) {
        resolvers.set(config, new ClientAddressResolver(c.trusted, c.forwardedHeader, c.ipv6Prefix));
      }
      const resolver = resolvers.get(config);
      const header = c.headerParts
        ? c.headerParts.map(([text, count]) => text.repeat(count)).join('') : c.header;
      assert.strictEqual(resolver.resolve(c.peer ?? undefined, header), c.key, `pass ${pass}: ${c.why}`);
    }
    for (const resolver of resolvers.values()) {
      for (let i = 0; i < 5000; i++) resolver.resolve(`198.51.${i >> 8}.${i & 255}`);
    }
  }
});

test('IPv6 clients are keyed by their network', () => {
  for (const [prefix, peer, key] of cases.ipv6) {
    const resolver = new ClientAddressResolver([], undefined, prefix ?? undefined);
    assert.strictEqual(resolver.resolve(peer), key, `${prefix} ${peer}`);
  }
  for (const prefix of cases.badIpv6Prefixes) {
    assert.throws(() => new ClientAddressResolver([], undefined, prefix), TypeError, `${prefix}`);
  }
});

test('bad configuration is refused at construction', () => {
  const bad = cases.badNetworks.map((network) => [[network], undefined]);
  for (const [proxies, header] of [...bad, [[], ' '], ['10.0.0.1', undefined]]) {
    assert.throws(() => new ClientAddressResolver(proxies, header), TypeError,
      JSON.stringify([proxies, header]));
  }
});

test('prefix lengths that are not whole bytes match bit by bit', () => {
  const resolver = new ClientAddressResolver(['192.0.2.64/27', '2001:db8:8000::/33']);
  assert.ok(resolver.isTrusted('192.0.2.95'));
  assert.ok(!resolver.isTrusted('192.0.2.96'));
  assert.ok(!resolver.isTrusted('192.0.2.63'));
  assert.ok(resolver.isTrusted('2001:db8:ffff::1'));
  assert.ok(!resolver.isTrusted('2001:db8:7fff::1'));
  assert.ok(new ClientAddressResolver(['0.0.0.0/0']).isTrusted('8.8.8.8'));
});

test('identity keys follow the shared table', () => {
  for (const [text, count, key] of cases.identity) {
    const identity = text.repeat(count);
    const expected = key === 'id:<identity>' ? `id:${identity}` : key;
    assert.strictEqual(identityKey(identity), expected, `${text} x ${count}`);
  }
  assert.strictEqual(identityKey(undefined), null);
  assert.strictEqual(identityKey(null), null);
});
