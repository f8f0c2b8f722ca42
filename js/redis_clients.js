'use strict';
// The ioredis clients of the Node Redis engine: one built from a parsed URL
// (js/redis_urls.js), and the guard that keeps a hostile reply from taking the
// process down with ioredis's parser.
const fs = require('node:fs');
const path = require('node:path');

// A call gives up after this many redirections (ioredis follows them itself).
const MAX_REDIRECTIONS = 5;

let parserGuarded = false;

// ioredis's reply parser reads nested arrays by recursion, so a reply nested
// deeply enough overflows the stack inside a socket's data event, where nothing
// catches it and the process exits. Such a parse becomes the parser's fatal
// error instead: ioredis then fails the connection's commands and reconnects.
function guardParser() {
  if (parserGuarded) return;
  parserGuarded = true;
  let Parser;
  try {
    Parser = require(require.resolve('redis-parser',
      { paths: [path.dirname(require.resolve('ioredis'))] }));
  } catch {
    return;
  }
  const { execute } = Parser.prototype;
  Parser.prototype.execute = function guardedExecute(buffer) {
    try {
      return execute.call(this, buffer);
    } catch (err) {
      this.reset();
      return this.returnFatalError(err instanceof Error ? err : new Error(String(err)));
    }
  };
}

function loadIoredis() {
  let Redis;
  try {
    Redis = require('ioredis');
  } catch (err) {
    throw new Error('vorn: the Redis engine needs the ioredis package (npm install ioredis)',
      { cause: err });
  }
  guardParser();
  return Redis;
}

function tlsOptions(tls) {
  if (tls === null) return undefined;
  const options = {};
  if (tls.ca_file !== null) options.ca = fs.readFileSync(tls.ca_file);
  if (tls.cert_file !== null) {
    options.cert = fs.readFileSync(tls.cert_file);
    options.key = fs.readFileSync(tls.key_file);
  }
  // The chain is checked still; only the name it is issued to is not.
  if (!tls.check_hostname) options.checkServerIdentity = () => undefined;
  return options;
}

// An ioredis client (a Redis or a Cluster) for a parsed URL: it fails commands
// at once while disconnected instead of queueing them for a later replay, and
// retries none of them.
function clientFromUrl(Redis, url, timeoutMs, probeIntervalMs) {
  const common = {
    // A replica's answer to a write: the connection outlived a failover, and a
    // new one (by name, or through Sentinel) may reach the new primary. The
    // command is not sent again; its check has been answered as a failure.
    reconnectOnError: (err) => (/^READONLY/.test(err.message) ? 1 : false),
    username: url.username ?? undefined,
    password: url.password ?? undefined,
    tls: tlsOptions(url.tls),
    connectTimeout: Math.max(timeoutMs, 1000),
    enableOfflineQueue: false,
    maxRetriesPerRequest: 0,
  };
  const retryStrategy = (times) => Math.min(times * 50, probeIntervalMs);
  if (url.kind === 'cluster') {
    return new Redis.Cluster(url.hosts.map(([host, port]) => ({ host, port })), {
      // A node's own connection comes up at its first command, which waits for
      // it (within the call's time); a node that does not come back fails the
      // commands it holds at its first failed reconnection.
      redisOptions: { ...common, commandTimeout: timeoutMs, enableOfflineQueue: true },
      enableOfflineQueue: false,
      maxRedirections: MAX_REDIRECTIONS,
      // These replies (and a node's connection closed before a command was
      // written) mean the command did not run: sending it again counts it once.
      retryDelayOnTryAgain: 5,
      retryDelayOnClusterDown: 10,
      retryDelayOnFailover: 10,
      clusterRetryStrategy: retryStrategy,
    });
  }
  const options = { ...common, db: url.db, commandTimeout: timeoutMs, retryStrategy };
  if (url.kind === 'unix') return new Redis({ ...options, path: url.path });
  if (url.kind === 'sentinel') {
    return new Redis({ ...options, sentinels: url.hosts.map(([host, port]) => ({ host, port })),
      name: url.service, sentinelPassword: url.sentinel_password ?? undefined,
      enableTLSForSentinelMode: url.tls !== null, sentinelRetryStrategy: retryStrategy,
      sentinelTLS: url.tls !== null ? tlsOptions(url.tls) : undefined });
  }
  const [[host, port]] = url.hosts;
  return new Redis({ ...options, host, port });
}

// A promise, kept in `owner.pending` and shared by every caller meanwhile, that
// settles when `owner.client`'s next connection is ready, or fails with the
// error of its next attempt.
function nextConnection(owner) {
  if (owner.pending === undefined || owner.pending === null) {
    owner.pending = new Promise((resolve, reject) => {
      const settle = (err) => {
        owner.client.off('ready', settle);
        owner.client.off('error', settle);
        owner.pending = null;
        if (err) reject(err);
        else resolve();
      };
      owner.client.once('ready', settle);
      owner.client.once('error', settle);
    });
    owner.pending.catch(() => {});
  }
  return owner.pending;
}

module.exports = { clientFromUrl, guardParser, loadIoredis, nextConnection };
