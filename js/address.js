'use strict';
// Client addresses as limiter keys. One client must have exactly one key, and a
// client must not be able to choose its own key: an address is canonicalised
// before use (an IPv4-mapped IPv6 address is the IPv4 address; IPv6 text takes
// its one compressed lower-case form), and a forwarding header is read only
// when the peer that sent the request is a proxy the application trusts.

const UNKNOWN_CLIENT = 'unknown';
// An IPv6 client is keyed by its network of this many bits unless told
// otherwise. A client is handed a whole /64 (often a /56 or /48) and may use any
// address in it; keyed by address, it would get a fresh allowance, and cost the
// server a fresh entry, with every address it picks.
const DEFAULT_IPV6_PREFIX = 56;
const MIN_IPV6_PREFIX = 32;
const MAX_IPV6_PREFIX = 128;
// How far a forwarding header is walked from the right: at most this many hops
// and this many characters. Past either bound the walk stops at the last
// trusted hop, so a header costs the same small work whatever its size.
const MAX_FORWARDED_HOPS = 16;
const MAX_FORWARDED_CHARS = 2048;
// No spelling of an address, with brackets, port and zone, comes near this.
const MAX_ADDRESS_TEXT = 128;
// An interface name or number, as a link-local address's zone.
const ZONE = /^[0-9A-Za-z._-]{1,16}$/;
const IPV4 = /^(0|[1-9]\d{0,2})\.(0|[1-9]\d{0,2})\.(0|[1-9]\d{0,2})\.(0|[1-9]\d{0,2})$/;
const HEXTET = /^[0-9a-fA-F]{1,4}$/;

// Four octets, or null.
function parseIPv4(text) {
  const match = IPV4.exec(text);
  if (match === null) return null;
  const octets = match.slice(1).map(Number);
  return octets.every((octet) => octet <= 255) ? octets : null;
}

// Eight 16-bit groups, or null. Accepts "::" once and a dotted IPv4 tail.
function parseIPv6(text) {
  const halves = text.split('::');
  if (halves.length > 2) return null;
  const toGroups = (half, last) => {
    if (half === '') return [];
    const parts = half.split(':');
    const groups = [];
    for (let i = 0; i < parts.length; i++) {
      if (last && i === parts.length - 1 && parts[i].includes('.')) {
        const v4 = parseIPv4(parts[i]);
        if (v4 === null) return null;
        groups.push((v4[0] << 8) | v4[1], (v4[2] << 8) | v4[3]);
      } else if (HEXTET.test(parts[i])) {
        groups.push(parseInt(parts[i], 16));
      } else {
        return null;
      }
    }
    return groups;
  };
  const head = toGroups(halves[0], halves.length === 1);
  const tail = halves.length === 2 ? toGroups(halves[1], true) : [];
  if (head === null || tail === null) return null;
  if (halves.length === 1) return head.length === 8 ? head : null;
  const missing = 8 - head.length - tail.length;
  return missing >= 1 ? [...head, ...new Array(missing).fill(0), ...tail] : null;
}

// RFC 5952 text: the first longest run of two or more zero groups becomes "::".
function formatIPv6(groups) {
  let bestStart = -1;
  let bestLength = 1;
  for (let i = 0; i < 8; ) {
    if (groups[i] !== 0) { i++; continue; }
    let j = i;
    while (j < 8 && groups[j] === 0) j++;
    if (j - i > bestLength) { bestStart = i; bestLength = j - i; }
    i = j;
  }
  const hex = groups.map((group) => group.toString(16));
  if (bestStart < 0) return hex.join(':');
  return `${hex.slice(0, bestStart).join(':')}::${hex.slice(bestStart + bestLength).join(':')}`;
}

// What surrounds an address in a header: HTTP's blanks only, the same in both hosts.
const trimBlanks = (text) => text.replace(/^[ \t]+|[ \t]+$/g, '');

// Splits an optional port (and IPv6 brackets) off; returns [host, zone] or null.
function splitHost(text) {
  text = trimBlanks(text);
  if (text.startsWith('[')) {
    const end = text.indexOf(']');
    if (end < 0) return null;
    const rest = text.slice(end + 1);
    if (rest !== '' && !/^:\d+$/.test(rest)) return null;
    text = text.slice(1, end);
  } else {
    const colon = text.indexOf(':');
    if (colon >= 0 && colon === text.lastIndexOf(':')) {
      // Only IPv4 text has exactly one colon: "192.0.2.1:8080".
      if (!/^\d+$/.test(text.slice(colon + 1))) return null;
      text = text.slice(0, colon);
    }
  }
  const percent = text.indexOf('%');
  return percent < 0 ? [text, ''] : [text.slice(0, percent), text.slice(percent + 1)];
}

const MAPPED_PREFIX = '::ffff:';

// {version: 4|6, bytes: number[], zone, mapped} or null. A zone is kept only on
// a link-local address (fe80::/10): it says nothing about a global one.
function parseAddress(text) {
  if (typeof text !== 'string' || text.length > MAX_ADDRESS_TEXT) return null;
  // What servers hand over nearly always: dotted IPv4, bare or IPv4-mapped.
  const mapped = text.length > MAPPED_PREFIX.length &&
    text.slice(0, MAPPED_PREFIX.length).toLowerCase() === MAPPED_PREFIX;
  const quick = parseIPv4(mapped ? text.slice(MAPPED_PREFIX.length) : text);
  if (quick !== null) return { version: 4, bytes: quick, zone: '', mapped };
  const split = splitHost(text);
  if (split === null || split[0] === '') return null;
  const [host, zone] = split;
  const v4 = parseIPv4(host);
  if (v4 !== null) return zone === '' ? { version: 4, bytes: v4, zone: '', mapped: false } : null;
  const v6 = parseIPv6(host);
  if (v6 === null) return null;
  if (v6.slice(0, 5).every((group) => group === 0) && v6[5] === 0xffff) {
    const bytes = [v6[6] >> 8, v6[6] & 255, v6[7] >> 8, v6[7] & 255];
    return { version: 4, bytes, zone: '', mapped: true };
  }
  const bytes = v6.flatMap((group) => [group >> 8, group & 255]);
  if ((v6[0] & 0xffc0) !== 0xfe80) return { version: 6, bytes, zone: '', mapped: false };
  if (zone !== '' && !ZONE.test(zone)) return null;
  return { version: 6, bytes, zone, mapped: false };
}

function formatAddress(address) {
  if (address.version === 4) return address.bytes.join('.');
  const groups = [];
  for (let i = 0; i < 16; i += 2) groups.push((address.bytes[i] << 8) | address.bytes[i + 1]);
  return formatIPv6(groups) + (address.zone ? `%${address.zone}` : '');
}

// The one canonical text of an IP address, or null if `text` is not one.
// "::ffff:10.0.0.1" gives "10.0.0.1"; "2001:DB8:0:0::1" gives "2001:db8::1";
// a port ("192.0.2.1:8080", "[2001:db8::1]:443") is dropped, and so is the zone
// of any but a link-local address ("fe80::1%eth0" keeps it).
function canonicalAddress(text) {
  const address = parseAddress(text);
  return address === null ? null : formatAddress(address);
}

// `prefix` if it is a whole number of bits from 32 to 128; throws otherwise.
function checkIPv6Prefix(prefix) {
  if (!Number.isInteger(prefix) || prefix < MIN_IPV6_PREFIX || prefix > MAX_IPV6_PREFIX) {
    throw new TypeError(`ipv6Prefix must be an integer from ${MIN_IPV6_PREFIX} to ` +
      `${MAX_IPV6_PREFIX}, not ${JSON.stringify(prefix)}`);
  }
  return prefix;
}

// An IPv4 address whole; an IPv6 one as its network ("2001:db8:1::/56"). A
// link-local network keeps its zone, written as in "fe80::%eth0/56", since the
// same network on two links is two clients.
function clientKey(address, prefix) {
  if (address.version === 4 || prefix === MAX_IPV6_PREFIX) return formatAddress(address);
  const bytes = address.bytes.map((byte, index) => {
    const width = Math.max(0, Math.min(8, prefix - index * 8));
    return byte & ((0xff << (8 - width)) & 0xff);
  });
  return `${formatAddress({ ...address, bytes })}/${prefix}`;
}

// A trusted-proxy entry: an address or a CIDR network ("10.0.0.0/8", "fd00::/8").
// An IPv4-mapped entry is its IPv4 address or network ("::ffff:10.0.0.0/104" is
// 10.0.0.0/8), since mapped addresses are keyed as IPv4 too.
function parseNetwork(entry) {
  const text = String(entry).trim();
  const slash = text.indexOf('/');
  const address = parseAddress(slash < 0 ? text : text.slice(0, slash));
  const prefixText = slash < 0 ? '' : text.slice(slash + 1);
  if (address === null || (slash >= 0 && !/^\d{1,3}$/.test(prefixText))) {
    throw new TypeError(`not an IP address or network: ${JSON.stringify(entry)}`);
  }
  const bits = address.bytes.length * 8;
  let prefix = slash < 0 ? bits : Number(prefixText);
  if (address.mapped && slash >= 0) prefix -= 96;
  if (prefix < 0 || prefix > bits) {
    throw new TypeError(`not an IP address or network: ${JSON.stringify(entry)}`);
  }
  return { version: address.version, bytes: address.bytes, prefix };
}

function inNetwork(address, network) {
  if (address.version !== network.version) return false;
  for (let bit = 0; bit < network.prefix; bit += 8) {
    const width = Math.min(8, network.prefix - bit);
    const mask = (0xff << (8 - width)) & 0xff;
    if ((address.bytes[bit / 8] & mask) !== (network.bytes[bit / 8] & mask)) return false;
  }
  return true;
}

// The hops of an X-Forwarded-For-style list, right to left, within the bounds.
// A leftmost hop that lies partly beyond the character bound is unknown (null).
function* listHops(header) {
  let end = header.length;
  const floor = Math.max(0, end - MAX_FORWARDED_CHARS);
  for (;;) {
    const comma = end > floor ? header.lastIndexOf(',', end - 1) : -1;
    if (comma < floor) {
      yield floor === 0 ? trimBlanks(header.slice(0, end)) : null;
      return;
    }
    yield trimBlanks(header.slice(comma + 1, end));
    end = comma;
  }
}

// Where a Forwarded token ends, reading leftwards: , ; = " \ blank tab.
const TOKEN_STOP = new Set([44, 59, 61, 34, 92, 32, 9]);

function skipSpaceLeft(header, at, floor) {
  while (at > floor && (header[at - 1] === ' ' || header[at - 1] === '\t')) at--;
  return at;
}

function tokenStart(header, end, floor) {
  let start = end;
  while (start > floor && !TOKEN_STOP.has(header.charCodeAt(start - 1))) start--;
  return start;
}

// How many backslashes precede header[at]; null when they run past the bound.
function backslashesBefore(header, at, floor) {
  let start = at;
  while (start > floor && header[start - 1] === '\\') start--;
  return start === floor && floor > 0 ? null : at - start;
}

// Reads the Forwarded element that ends at `end`, leftwards. Returns [its `for`
// value or null, where its separating comma is: -1 at the start of the header,
// -2 when the element is malformed]. Malformed: an unterminated quoted string, a
// dangling escape, a pair without "=", two `for` parameters, or text reaching
// past the character bound.
function forwardedElement(header, end, floor) {
  const malformed = [null, -2];
  let found = null;
  let at = end;
  let afterPair = false;
  for (;;) {
    at = skipSpaceLeft(header, at, floor);
    if (at === 0) return [found, -1];
    if (at === floor) return malformed;
    const char = header[at - 1];
    if (char === ',') return [found, at - 1];
    if (char === ';') { at--; afterPair = false; continue; }
    if (afterPair) return malformed;
    let value;
    if (char === '"') {
      const close = at - 1;
      const escapes = backslashesBefore(header, close, floor);
      if (escapes === null || escapes % 2 === 1) return malformed;
      let opening = close;
      for (;;) {
        opening = opening > floor ? header.lastIndexOf('"', opening - 1) : -1;
        if (opening < floor) return malformed;
        const before = backslashesBefore(header, opening, floor);
        if (before === null) return malformed;
        if (before % 2 === 0) break;
      }
      value = header.slice(opening + 1, close).replace(/\\([\s\S])/g, '$1');
      at = opening;
    } else {
      const start = tokenStart(header, at, floor);
      if (start === at || (start === floor && floor > 0)) return malformed;
      value = header.slice(start, at);
      at = start;
    }
    at = skipSpaceLeft(header, at, floor);
    if (at <= floor || header[at - 1] !== '=') return malformed;
    at = skipSpaceLeft(header, at - 1, floor);
    const start = tokenStart(header, at, floor);
    if (start === at || (start === floor && floor > 0)) return malformed;
    if (header.slice(start, at).toLowerCase() === 'for') {
      if (found !== null) return malformed;
      found = value;
    }
    at = start;
    afterPair = true;
  }
}

// The `for` value of each element of a Forwarded header (RFC 7239), right to
// left. An element without one, or a malformed one, gives null and ends the walk.
function* forwardedHops(header) {
  let end = header.length;
  const floor = Math.max(0, end - MAX_FORWARDED_CHARS);
  for (;;) {
    const [value, comma] = forwardedElement(header, end, floor);
    yield value;
    if (value === null || comma < 0) return;
    end = comma;
  }
}

// Picks the limiter key of a request from its peer address and forwarding
// header. With no trusted proxies the key is the canonical peer address and no
// header is read. Otherwise, when the peer is trusted, the named header (an
// X-Forwarded-For-style comma list, or RFC 7239 Forwarded) is walked from the
// right, skipping trusted proxies; the first untrusted address is the client. A
// malformed hop stops the walk at the last trusted address, so a forged or
// garbled entry never becomes the key; so does reaching MAX_FORWARDED_HOPS hops
// or MAX_FORWARDED_CHARS characters. The client found is keyed whole when it is
// IPv4 (or IPv4-mapped), and by its network of `ipv6Prefix` bits when it is IPv6
// (128 keys each address apart); proxies are always matched by their whole
// address. The configuration is immutable after construction; what a peer
// address resolves to is remembered (at most PEER_CACHE_SIZE peers), since a
// server sees the same few peers request after request.
const PEER_CACHE_SIZE = 4096;

class ClientAddressResolver {
  constructor(trustedProxies = [], forwardedHeader = 'x-forwarded-for',
    ipv6Prefix = DEFAULT_IPV6_PREFIX) {
    this.ipv6Prefix = checkIPv6Prefix(ipv6Prefix);
    if (typeof trustedProxies === 'string') {
      throw new TypeError('trustedProxies must be a list of addresses or networks, not one string');
    }
    this.networks = Array.from(trustedProxies, parseNetwork);
    this.header = String(forwardedHeader).trim().toLowerCase();
    if (this.header === '') throw new TypeError('forwardedHeader must name a header');
    // peer text -> {key, client, trusted}: the peer's own key, its parsed
    // address and whether its forwarding header is to be read.
    this.peers = new Map();
    Object.freeze(this);
  }

  get readsHeader() {
    return this.networks.length > 0;
  }

  isTrusted(text) {
    const address = parseAddress(text);
    return address !== null && this.trusts(address);
  }

  trusts(address) {
    return this.networks.some((network) => inNetwork(address, network));
  }

  hops(header) {
    return this.header === 'forwarded' ? forwardedHops(header) : listHops(header);
  }

  // What `peer` resolves to on its own, remembered; null when it is no address.
  peerEntry(peer) {
    let entry = this.peers.get(peer);
    if (entry !== undefined) return entry;
    const client = parseAddress(peer);
    if (client === null) return null;
    entry = { key: clientKey(client, this.ipv6Prefix), client, trusted: this.trusts(client) };
    if (this.peers.size >= PEER_CACHE_SIZE) this.peers.clear();
    this.peers.set(peer, entry);
    return entry;
  }

  // The key for a request from `peer` carrying `header` (its value, or undefined).
  resolve(peer, header) {
    const entry = typeof peer === 'string' ? this.peerEntry(peer) : null;
    if (entry === null) return typeof peer === 'string' && peer !== '' ? peer : UNKNOWN_CLIENT;
    if (!entry.trusted || typeof header !== 'string') return entry.key;
    let client = entry.client;
    let walked = 0;
    for (const hop of this.hops(header)) {
      if (walked++ === MAX_FORWARDED_HOPS) break;
      const address = hop ? parseAddress(hop) : null;
      if (address === null) break;
      client = address;
      if (!this.trusts(address)) break;
    }
    return client === entry.client ? entry.key : clientKey(client, this.ipv6Prefix);
  }
}

module.exports = {
  ClientAddressResolver, UNKNOWN_CLIENT, DEFAULT_IPV6_PREFIX, MAX_FORWARDED_HOPS, MAX_FORWARDED_CHARS, canonicalAddress,
};
