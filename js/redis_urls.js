'use strict';
// Redis URLs as both hosts read them (vorn/_redis_urls.py reads the same forms
// the same way; tests/redis_urls.json holds the cases both must agree on):
//
//   redis://[[user]:password@]host[:port][/db][?options]
//   rediss://...                              the same over TLS
//   redis+cluster://[[user]:password@]host:port[,host:port...][?options]
//   redis+sentinel://[[user]:password@]host:port[,host:port...]/service[/db][?options]
//   unix://[[user]:password@]/path/to/socket[?db=n]
//
// Options: ca_file, cert_file and key_file (TLS: the CA bundle that signs the
// server's certificate, and a client certificate and its key), check_hostname
// (TLS: no accepts a certificate for another name; the chain is checked still),
// tls (yes for TLS on cluster and sentinel URLs), sentinel_password (the
// sentinels' own password) and db (unix sockets). Anything else is an error, so
// a misspelt option is not quietly ignored.

const SCHEMES = ['redis', 'rediss', 'redis+cluster', 'redis+sentinel', 'unix'];
const OPTIONS = ['ca_file', 'cert_file', 'key_file', 'check_hostname', 'tls',
  'sentinel_password', 'db'];
const DEFAULT_PORT = 6379;
const DEFAULT_SENTINEL_PORT = 26379;
const FORMS = 'redis://[[user]:password@]host[:port][/db], rediss://..., ' +
  'redis+cluster://host:port[,host:port...], ' +
  'redis+sentinel://host:port[,host:port...]/service[/db] or unix://path';

// The URL itself is never repeated: it may carry a password.
function fail(detail) {
  return new TypeError(`vorn: the Redis URL is not valid (${FORMS}): ${detail}`);
}

function partition(text, separator, fromRight = false) {
  const at = fromRight ? text.lastIndexOf(separator) : text.indexOf(separator);
  if (at < 0) return fromRight ? ['', '', text] : [text, '', ''];
  return [text.slice(0, at), separator, text.slice(at + separator.length)];
}

function decode(text) {
  try {
    return decodeURIComponent(text);
  } catch {
    throw fail('a percent escape is broken');
  }
}

function yesNo(name, value) {
  if (['yes', 'true', '1'].includes(value.toLowerCase())) return true;
  if (['no', 'false', '0'].includes(value.toLowerCase())) return false;
  throw fail(`option ${name} must be yes or no`);
}

function whole(text, what, low, high) {
  if (!/^[0-9]+$/.test(text) || !(Number(text) >= low && Number(text) <= high)) {
    throw fail(`${what} must be a whole number from ${low} to ${high}`);
  }
  return Number(text);
}

function hostsOf(text, defaultPort, many) {
  const hosts = text.split(',').map((part) => {
    let host;
    let portText;
    if (part.startsWith('[')) {
      const [inside, bracket, rest] = partition(part.slice(1), ']');
      if (!bracket || (rest && !rest.startsWith(':'))) {
        throw fail('an IPv6 address is written [address]:port');
      }
      host = inside;
      portText = rest.slice(1);
    } else {
      [host, , portText] = partition(part, ':');
    }
    host = decode(host);
    if (!host) throw fail('a host is missing');
    return [host, portText ? whole(portText, 'the port', 1, 65535) : defaultPort];
  });
  if (hosts.length > 1 && !many) throw fail('only cluster and sentinel URLs list several hosts');
  return hosts;
}

function optionsOf(query) {
  const options = {};
  for (const pair of query ? query.split('&') : []) {
    const [rawName, equals, value] = partition(pair, '=');
    const name = decode(rawName);
    if (!OPTIONS.includes(name)) {
      throw fail(`unknown option '${name}' (known: ${OPTIONS.join(', ')})`);
    }
    if (!equals) throw fail(`option ${name} needs a value`);
    options[name] = decode(value);
  }
  return options;
}

// { kind: 'single' | 'cluster' | 'sentinel' | 'unix', hosts: [[host, port]],
//   username, password, db, service, path, tls: null or { ca_file, cert_file,
//   key_file, check_hostname }, sentinel_password }, or a TypeError saying what
// is wrong.
function parseRedisUrl(url) {
  if (typeof url !== 'string') throw new TypeError('the Redis URL must be a string');
  const [schemeText, sep, afterScheme] = partition(url, '://');
  const scheme = schemeText.toLowerCase();
  if (!sep || !SCHEMES.includes(scheme)) {
    throw fail(`the scheme must be one of ${SCHEMES.map((s) => `${s}://`).join(', ')}`);
  }
  const [beforeQuery, , query] = partition(afterScheme, '?');
  const rest = partition(beforeQuery, '#')[0];
  const options = optionsOf(query);
  const [authority, slash, pathRest] = partition(rest, '/');
  const path = slash + pathRest;
  const [userinfo, at, hostlist] = partition(authority, '@', true);
  let username = null;
  let password = null;
  if (at) {
    const [user, colon, secret] = partition(userinfo, ':');
    if (colon) {
      username = decode(user) || null;
      password = decode(secret);
    } else {
      password = decode(user) || null;  // redis://secret@host: a password alone
    }
  }
  const tlsWanted = scheme === 'rediss' || yesNo('tls', options.tls ?? 'no');
  let dbText = options.db ?? '';
  let service = null;
  let kind;
  let hosts = [];
  let unixPath = null;
  if (scheme === 'unix') {
    if (hostlist) throw fail('a unix URL has no host: unix:///path/to/socket');
    if (path === '' || path === '/') throw fail('the socket path is missing');
    kind = 'unix';
    unixPath = decode(path);
  } else {
    let segments = pathRest === '' && !slash ? [] : pathRest.split('/');
    if (scheme === 'redis+sentinel') {
      kind = 'sentinel';
      hosts = hostsOf(hostlist, DEFAULT_SENTINEL_PORT, true);
      if (segments.length === 0 || !segments[0]) {
        throw fail('a sentinel URL names its service: redis+sentinel://host:port/service');
      }
      service = decode(segments[0]);
      segments = segments.slice(1);
    } else {
      kind = scheme === 'redis+cluster' ? 'cluster' : 'single';
      hosts = hostsOf(hostlist, DEFAULT_PORT, kind === 'cluster');
    }
    segments = segments.filter((s) => s !== '');
    if (segments.length > 1) throw fail('the path holds only the database number');
    if (segments.length === 1) {
      if (dbText) throw fail('the database is given twice');
      [dbText] = segments;
    }
  }
  const db = dbText ? whole(dbText, 'the database', 0, 2 ** 31 - 1) : 0;
  if (kind === 'cluster' && db !== 0) throw fail('a cluster has only database 0');
  const tlsNames = ['ca_file', 'cert_file', 'key_file', 'check_hostname'];
  if (!tlsWanted && tlsNames.some((name) => name in options)) {
    throw fail('the TLS options need rediss:// (or tls=yes)');
  }
  if (tlsWanted && kind === 'unix') throw fail('TLS is not used over a unix socket');
  if (('key_file' in options) !== ('cert_file' in options)) {
    throw fail('a client certificate needs cert_file and key_file together');
  }
  const tls = tlsWanted ? {
    ca_file: options.ca_file ?? null,
    cert_file: options.cert_file ?? null,
    key_file: options.key_file ?? null,
    check_hostname: yesNo('check_hostname', options.check_hostname ?? 'yes'),
  } : null;
  if ('sentinel_password' in options && kind !== 'sentinel') {
    throw fail('sentinel_password belongs to redis+sentinel:// URLs');
  }
  return { kind, hosts, username, password, db, service, path: unixPath, tls,
    sentinel_password: options.sentinel_password ?? null };
}

const hostText = (host) => (host.includes(':') ? `[${host}]` : host);

// Where a parsed URL points, for log lines: never the password.
function describeRedisUrl(parsed) {
  if (parsed.kind === 'unix') return `unix:${parsed.path}/${parsed.db}`;
  const where = parsed.hosts.map(([host, port]) => `${hostText(host)}:${port}`).join(',');
  if (parsed.kind === 'cluster') return `cluster ${where}`;
  if (parsed.kind === 'sentinel') return `sentinel ${where}/${parsed.service}/${parsed.db}`;
  return `${where}/${parsed.db}`;
}

module.exports = { parseRedisUrl, describeRedisUrl };
