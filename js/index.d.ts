// Type information for the vorn package: the native VornNode and VornZoneNode classes,
// the zone functions, limit texts, the middleware and the route limits.

/** Names the engine knows; any other text runs the token bucket and is reported verbatim. */
export type AlgorithmName =
  | 'token_bucket'
  | 'sliding_window'
  | 'fixed_window'
  | 'leaky_bucket'
  | (string & {});

/** Names the engine knows; any other text runs active mode. */
export type ModeName = 'active' | 'shadow' | 'disabled' | (string & {});

/** Options of a VornNode; every property is optional. Strings and numbers are not coerced. */
export interface NodeConfig {
  /** Default "token_bucket". */
  algorithm?: AlgorithmName | undefined;
  /** Default "active". */
  mode?: ModeName | undefined;
  /** Bucket size, or requests per 60 s window for the window algorithms. Default 100. */
  capacity?: number | undefined;
  /** Tokens (token bucket) or units (leaky bucket) per second. Default 10. */
  refillRate?: number | undefined;
  /** Switches telemetry recording on (kept in memory, never sent). */
  apiKey?: string | undefined;
  /** Stored only; a string, not a boolean. */
  debug?: string | undefined;
  /** Stored only; no connection is ever opened. */
  backendUrl?: string | undefined;
  /** Stored only. */
  requestsPerMinute?: number | undefined;
  /** Stored only. */
  requestsPerSecond?: number | undefined;
  /** Stored only. */
  burstLimit?: number | undefined;
  /** Stored only. Default 2. */
  burstMultiplier?: number | undefined;
  /** Stored only. Default 60000. */
  blockDurationMs?: number | undefined;
}

/** One rate of a limit: [count, windowMs], windowMs 1 to 31,622,400,000 (366 days). */
export type Rate = readonly [count: number, windowMs: number];

/** What clients are told of one rate; windowMs null when nothing refills. */
export interface Policy {
  limit: number;
  windowMs: number | null;
}

/** How createEngine and createRateLimiter's configs may give the engine its rates, for any
 *  algorithm (a request is admitted only when every rate admits it, and counted by all of
 *  them or by none). `limit` goes with neither capacity, refillRate nor windowMs, and
 *  windowMs not with refillRate: a TypeError. */
export interface LimitOptions {
  /** A limit text: 1 to 4 rates, such as "10/second; 1000/hour" or "100 per 5 minutes".
   *  A text that is not one is a TypeError quoting it. */
  limit?: string | undefined;
  /** With capacity (default 100): capacity requests per this many milliseconds (rounded to
   *  a whole one; 1 to 31,622,400,000, else a RangeError). */
  windowMs?: number | undefined;
}

export type ReasonWord = 'within_limit' | 'limit_exceeded' | 'token_exhausted';

/** The answer to one check. */
export interface CheckResultNode {
  /** False only for a refusal in active mode. */
  allowed: boolean;
  /** The limiter refused the request (active or shadow mode). */
  wouldBlock: boolean;
  /** Absent in disabled mode. */
  reason?: ReasonWord;
  algorithm: string;
  /** Human-readable, for example "4 tokens remaining", or "disabled". */
  debugInfo: string;
}

/** checkLimits' answer: checkRequest's, and the figures clients are told (milliseconds;
 *  null where nothing is counted, in disabled mode, or where the time never comes). */
export interface LimitsResultNode extends CheckResultNode {
  limit: number;
  remaining: number | null;
  /** Until a request would be admitted; 0 while one would be. */
  retryAfterMs: number | null;
  /** Until the whole allowance is back. */
  resetAfterMs: number | null;
  /** The time a drained allowance takes to be whole again. */
  windowMs: number | null;
  /** Every rate's, on an engine of several rates (whose limit and windowMs are the
   *  deciding rate's). */
  policies?: Policy[];
}

/** One rate-limiting engine with its own per-client state. */
export declare class VornNode {
  /** With `rates` (1 to 4) and `VornNode.withRates`, an engine of those rates; capacity and
   *  refillRate are then unused. Without the marker, a second argument is ignored. */
  constructor(config: NodeConfig, rates?: readonly Rate[], marker?: typeof VornNode.withRates);
  /** The marker a third constructor argument must be for the second to be read as rates. */
  static readonly withRates: unique symbol;
  /** Checks one request; `ip` is the limiter key, `startMs` milliseconds since the epoch. */
  checkRequest(ip: string, route: string, startMs: number): CheckResultNode;
  /** The same check, answered with the limit figures too. `cost`: the request's weight,
   *  a finite number >= 0 (whole for the window algorithms; else a RangeError); 0 counts
   *  nothing and answers whether a request of weight 1 would pass now. */
  checkLimits(ip: string, route: string, startMs: number, cost?: number): LimitsResultNode;
  /** Gives `cost` (default 1) back to the key on every rate; a key without state is left so. */
  refund(key: string, cost?: number): void;
  /** Forgets the key: its next check starts fresh. */
  reset(key: string): void;
  /** This engine's checks since it was made, by outcome. */
  stats(): CheckCounts;
  /** The name (1 to 48 UTF-8 bytes) its counts go under in the metrics and in its zone. */
  nameCounts(name: string): void;
  /** Every rate's policy, in order. */
  readonly policies: Policy[];
}

/** A NodeConfig for an engine whose client state lives in Redis (see createEngine). */
export interface RedisConfig extends NodeConfig {
  /** A Redis URL: redis://, rediss:// (TLS), redis+cluster://, redis+sentinel://; or an ioredis
   *  client (Redis or Cluster). */
  redis: string | object;
  /** Start of every key. Default "vorn:". */
  redisPrefix?: string | undefined;
  /** A check waits at most this long for Redis before answering without it. Default 50. */
  redisTimeoutMs?: number | undefined;
  /** How checks are answered while Redis fails: "local" (default), "allow" or "deny". */
  onError?: 'local' | 'allow' | 'deny' | undefined;
  /** How often a failed Redis is probed. Default 500. */
  redisProbeIntervalMs?: number | undefined;
  /** Where the warnings go (one when Redis fails, one when it is back). Default console. */
  logger?: { warn(message: string): void } | undefined;
  /** Tests only: milliseconds passed to the scripts instead of the Redis server's time. */
  clock?: (() => number) | undefined;
}

/** An engine whose client state lives in Redis, shared by every process that uses it. */
export declare class RedisEngine {
  /** True while checks are answered without Redis. */
  readonly degraded: boolean;
  /** Checks one request; the time comes from Redis, `startMs` is used only without it. */
  checkRequest(ip: string, route: string, startMs: number): Promise<CheckResultNode>;
  /** checkRequest's result followed by the limit figures, as VornNode.checkLimits. */
  checkLimits(ip: string, route: string, startMs: number, cost?: number):
      Promise<LimitsResultNode>;
  /** VornNode.refund, on the state in Redis. */
  refund(key: string, cost?: number): Promise<void>;
  /** VornNode.reset, for every process that uses this Redis. */
  reset(key: string): Promise<void>;
  /** Resolves once the engine's first connection is up; checks before it answer without Redis. */
  ready(): Promise<void>;
  /** Stops probing; disconnects the client when the engine built it from a URL. */
  close(): Promise<void>;
}

/** Options of an engine that holds one limit across every process on one Redis while each
 *  check is answered at once from this process's own state (see createEngine). */
export interface SyncConfig extends NodeConfig {
  /** A Redis URL (as RedisConfig.redis) or an ioredis client (Redis or Cluster). */
  redis: string | object;
  /** How often (ms, > 0) this process trades what it admitted for new leases. Default 100. */
  syncMs: number;
  /** The share (0 to 1) of each rate that all processes together may admit past the limit,
   *  on keys they have not synced yet. Default 0.02. */
  maxOvershoot?: number | undefined;
  /** Start of every key. Default "vorn:". */
  redisPrefix?: string | undefined;
  /** How long a sync waits for Redis. Default max(syncMs, 50). */
  redisTimeoutMs?: number | undefined;
  /** Where the warnings go (one when Redis fails, one when it is back). Default console. */
  logger?: { warn(message: string): void } | undefined;
  /** token_bucket (default), fixed_window or leaky_bucket; anything else is a TypeError. */
  algorithm?: 'token_bucket' | 'fixed_window' | 'leaky_bucket' | undefined;
  /** A zone's name (as ZoneConfig.zone): every process of this machine on it with the same
   *  limit shares one table of keys, and one of them syncs for all. */
  zone?: string | undefined;
  /** The zone's directory, as ZoneConfig.zoneDir; only with `zone`. */
  zoneDir?: string | undefined;
  /** Bytes of the shared table's file when this engine creates it; only with `zone`.
   *  Default room for 32,768 keys (about 11 MiB). */
  zoneSize?: number | undefined;
  /** Not with syncMs (a TypeError): a synced engine always limits alone while it cannot sync. */
  onError?: undefined;
}

/** One limit across every process on one Redis; checks are plain calls, not Promises. */
export interface SyncEngine {
  /** True while the last sync failed: this process then limits alone. */
  readonly degraded: boolean;
  checkRequest(ip: string, route: string, startMs: number): CheckResultNode;
  checkLimits(ip: string, route: string, startMs: number, cost?: number): LimitsResultNode;
  /** Gives `cost` back to `key`, here at once and in Redis at the next sync. */
  refund(key: string, cost?: number): void;
  /** Forgets the key here at once and, at the next sync, for every process. */
  reset(key: string): void;
  stats(): CheckCounts & { degraded: boolean };
  nameCounts(name: string): void;
  readonly policies: Policy[];
  /** Resolves after the next sync has run, whether it reached Redis or not. */
  ready(): Promise<void>;
  /** Syncs now (or joins the sync in flight); resolves to whether it reached Redis. */
  sync(): Promise<boolean>;
  /** One last sync (giving back unspent leases), then stops; disconnects a client it built. */
  close(): Promise<void>;
}

/** Options of an engine whose per-client state lives in a shared-memory zone. */
export interface ZoneConfig extends NodeConfig {
  /** The zone's name: 1 to 64 of A-Z a-z 0-9 _ . - */
  zone: string;
  /** Bytes of the zone when this engine creates it (a whole number: TypeError or RangeError
   *  otherwise); ignored when it exists. Default 32 MiB, less where there is less room. */
  zoneSize?: number | undefined;
  /** The directory the zone lives in: yours, and not writable by others. Default
   *  $XDG_RUNTIME_DIR, else /dev/shm/vorn-<uid>. */
  zoneDir?: string | undefined;
  /** How checks are answered while the zone cannot be used: "local" (default, an
   *  in-process engine), "allow" or "deny". Anything else is a TypeError. */
  onError?: 'local' | 'allow' | 'deny' | undefined;
  /** Where the zone's warnings go (its failures, its recoveries, a damaged zone replaced).
   *  Default console. A logger that throws never fails a check: the line goes to
   *  process.emitWarning instead. */
  logger?: { warn(message: string): void } | null | undefined;
}

/**
 * An engine that keeps its per-client state in a named shared-memory zone, so every
 * engine of the machine's user attached to that zone (in any process) shares it.
 * A zone that cannot be made or used at construction for a reason you must fix (a bad
 * size, a zoneDir that is not yours) throws an Error with code "ZoneError"; any other
 * failure, then or later, degrades the engine, which answers as `onError` says and goes
 * back to the zone by itself.
 *
 * The methods are synchronous: a check that meets a zone lock held by another process
 * waits for it (at most a few seconds, for a stopped process) blocking only the calling
 * thread, so a worker thread's wait never holds up the main thread.
 */
export declare class VornZoneNode {
  /** With `rates` (1 to 4) and `VornZoneNode.withRates` (the same symbol as
   *  `VornNode.withRates`), a zone engine of those rates. */
  constructor(config: ZoneConfig, rates?: readonly Rate[], marker?: typeof VornNode.withRates);
  static readonly withRates: typeof VornNode.withRates;
  /** Checks one request; `ip` is the limiter key, `startMs` milliseconds since the epoch. */
  checkRequest(ip: string, route: string, startMs: number): CheckResultNode;
  /** The same check, answered with the limit figures too; `cost` as VornNode.checkLimits. */
  checkLimits(ip: string, route: string, startMs: number, cost?: number): LimitsResultNode;
  /** VornNode.refund, for every process of the zone. */
  refund(key: string, cost?: number): void;
  /** VornNode.reset, for every process of the zone. */
  reset(key: string): void;
  /** This engine's checks since it was made, by outcome. */
  stats(): CheckCounts;
  /** The name (1 to 48 UTF-8 bytes) its counts go under in the metrics and in its zone. */
  nameCounts(name: string): void;
  /** Every rate's policy, in order. */
  readonly policies: Policy[];
  /** True while checks are answered by `onError` instead of the zone. */
  readonly degraded: boolean;
  /** Why the engine is degraded; null when it is not. */
  readonly degradedReason: string | null;
  /** The counters of the zone this engine is on now; null while degraded. */
  zoneStats(): ZoneStats | null;
}

/** What zoneStats returns. */
export interface ZoneStats {
  /** Client states held now. */
  keys: number;
  /** Client states the zone can hold. */
  capacity: number;
  /** States dropped, least recently used first, to make room. */
  evictions: number;
  /** States dropped because a fresh one would answer the same. */
  reclaimed: number;
  /** Checks cut short by a dead process, whose writes were undone. */
  recoveries: number;
  /** Shards and client states found damaged and started fresh. */
  repairs: number;
  /** Damaged zones replaced by a fresh one under this name. */
  replacements: number;
  sizeBytes: number;
  /** Distinct limiter configurations that engines brought to the zone. */
  configs: number;
  /** The zone's file. */
  path: string;
}

/**
 * A SyncEngine when `config.syncMs` is set (with `redis`, and `zone` or not), else a
 * VornZoneNode when `config.zone` is set, a RedisEngine when `config.redis` is, else a
 * VornNode. Unknown algorithm or mode names throw, unlike the classes themselves, and so does
 * an option no engine takes (a TypeError naming it).
 */
export declare function createEngine(config: SyncConfig & LimitOptions): SyncEngine;
export declare function createEngine(config: ZoneConfig & LimitOptions): VornZoneNode;
export declare function createEngine(config: RedisConfig & LimitOptions): RedisEngine;
export declare function createEngine(config?: NodeConfig & LimitOptions): VornNode;
/** The rates of a limit text, in the order written; a TypeError quoting the text otherwise. */
export declare function parseLimit(text: string): [count: number, windowMs: number][];
/** Removes a zone's name; false when there was none. Attached engines keep working, and
 *  within a second follow the name to a fresh zone. `zoneDir` as the engines were given. */
export declare function removeZone(name: string, zoneDir?: string): boolean;
/** The zone's occupancy; throws an Error with code "ZoneError" when it is missing. */
export declare function zoneStats(name: string, zoneDir?: string): ZoneStats;

/** Checks by outcome; `fallback` counts those the failure policy answered (also counted
 *  under one of the others). */
export interface CheckCounts {
  allowed: number;
  refused: number;
  /** Shadow mode: would have been refused. */
  shadowRefused: number;
  /** Disabled mode: let through, nothing consulted. */
  disabled: number;
  fallback: number;
}
/** Every engine's counts on the zone, of every process, by the name each counts under. */
export declare function zoneCounts(name: string, zoneDir?: string): Record<string, CheckCounts>;
/** The counts of every engine this process made, gone ones included, by name and store. */
export declare function processCounts(): {
  name: string; zone: string | null; zoneDir: string | null; counts: CheckCounts; degraded: boolean;
}[];

/** Prometheus metrics through prom-client (an optional peer dependency). */
export declare const metrics: {
  /** Registers vorn's metrics with `registry` (prom-client's global one when omitted).
   *  perProcess: each process tells only its own counts, for prom-client's AggregatorRegistry. */
  register(registry?: unknown, options?: { perProcess?: boolean }): unknown;
};

/** What logs a refusal: pino and console fit. */
export interface RefusalLogger {
  warn(object: { limit: string; key: string; route: string; retryAfterS: number | null;
    shadow: boolean; omitted: number }, message: string): void;
}

/** What the middleware reads from a request: Node's IncomingMessage fits. */
export interface RequestLike {
  socket?: { remoteAddress?: string | undefined } | null;
  headers: { [name: string]: string | string[] | undefined };
  url?: string | undefined;
  /** Express's untruncated URL, preferred when present. */
  originalUrl?: string | undefined;
  /** Set by the middleware: the result of the request's check. */
  vorn?: CheckResultNode;
}

/** What the middleware writes a 429 to: Node's ServerResponse fits. */
export interface ResponseLike {
  writeHead(status: number, headers: { [name: string]: string | number }): unknown;
  end(body: string): unknown;
  /** Sets the rate-limit fields of admitted answers; without it they are not sent. */
  setHeader?(name: string, value: string): unknown;
}

/** What a rule or limiter checks with; checkLimits, when present, tells the header figures. */
export interface EngineLike {
  checkRequest(ip: string, route: string, startMs: number):
      CheckResultNode | Promise<CheckResultNode>;
  checkLimits?(ip: string, route: string, startMs: number, cost?: number):
      LimitsResultNode | Promise<LimitsResultNode>;
}

/** One limit of a limiter with several. */
export interface RateLimitRule<Req extends RequestLike = RequestLike> {
  /** The engine, or a config to build one from (createRateLimiter of the package only). */
  engine?: EngineLike;
  config?: (NodeConfig | ZoneConfig | RedisConfig) & LimitOptions;
  /** A path prefix of whole segments ("/login" covers /login and /login/x, never
   *  /login-help; "/api/" is "/api"), matched as the Express app routes (case-insensitively
   *  unless its "case sensitive routing" is on; case-sensitively without Express), or a
   *  RegExp tested on the route; default every route. */
  path?: string | RegExp;
  /** Method names it applies to; default every method. */
  methods?: Iterable<string>;
  /** Keys this rule's requests instead of the limiter's identity function. */
  identity?: (req: Req) => string | null | undefined;
  /** The policy name in the rate-limit fields; default "default". Also the rule's scope
   *  (rules naming one scope share counts); without it, the path and methods are. */
  name?: string;
}

/** Which rate-limit fields answers carry: the current draft's RateLimit-Policy and
 *  RateLimit (default), RateLimit-Limit/-Remaining/-Reset, X-RateLimit-*, or none. */
export type HeaderStyle = 'draft' | 'legacy' | 'x' | 'none' | null;

export interface RateLimiterOptions<Req extends RequestLike = FrameworkRequest,
                                    Res extends ResponseLike = FrameworkResponse> {
  /** An engine to use; otherwise one is built from `config`. */
  engine?: EngineLike;
  /** Several limits instead of one engine: a request is checked against every rule that
   *  applies and refused if any refuses; the fields describe the rule closest to refusing. */
  rules?: readonly RateLimitRule<Req>[];
  headers?: HeaderStyle;
  /** Returning true lets a request through unchecked (health checks). */
  skip?: (req: Req) => boolean;
  /** Answers a refused request instead of the plain 429 (the fields are already set). */
  onRefused?: (req: Req, res: Res, result: CheckResultNode) => void;
  /** With `zone`, the engine keeps its state in that shared-memory zone; with `redis`, in Redis. */
  config?: (NodeConfig | ZoneConfig | RedisConfig) & LimitOptions;
  /** Addresses or CIDR networks whose forwarding header is believed. Default none. */
  trustedProxies?: readonly string[];
  /** "x-forwarded-for" (default), "forwarded" (RFC 7239), or another one-list header. */
  forwardedHeader?: string;
  /** An IPv6 client is keyed by its network of this many bits: 32 to 128, default 56. */
  ipv6Prefix?: number;
  /** A non-empty string returned here is the key (kept apart from address keys) instead of
   *  the client address; anything but a string, null or undefined is an error. */
  identity?: (req: Req) => string | null | undefined;
  /** Called with each error answered 500 (when there is no next); default console.error. */
  onError?: (err: unknown, req: Req) => void;
  /** true (10 lines a second) or a number of lines a second: one line per refusal. */
  logRefusals?: boolean | number;
  /** Where the refusal log writes; default console. */
  logger?: RefusalLogger;
}

export interface RateLimiter<Req extends RequestLike = FrameworkRequest,
                             Res extends ResponseLike = FrameworkResponse> {
  /** Express-style: calls next() when admitted, answers 429 otherwise. */
  (req: Req, res: Res, next?: (err?: unknown) => void): void;
  /** Runs the checks and leaves the deciding result on req.vorn, without answering (a
   *  Promise of it with an engine that answers with Promises, such as the RedisEngine);
   *  null when skip says so or no rule applies. */
  check(req: Req): CheckResultNode | LimitsResultNode | null |
      Promise<CheckResultNode | LimitsResultNode>;
  /** True when admitted; otherwise answers 429 and returns false (or a Promise of it). */
  admit(req: Req, res: Res): boolean | Promise<boolean>;
  /** A request listener that runs `handler` only for admitted requests (req.vorn set). */
  wrap<R>(handler: (req: Req & { vorn: CheckResultNode }, res: Res) => R):
      (req: Req, res: Res) => R | undefined;
  readonly resolver: ClientAddressResolver;
}

/** Unknown options are a TypeError naming them. */
export declare function createRateLimiter<Req extends RequestLike = FrameworkRequest,
                                          Res extends ResponseLike = FrameworkResponse>(
    options?: RateLimiterOptions<Req, Res>): RateLimiter<Req, Res>;

/** The canonical text of an IP address ("::ffff:10.0.0.1" gives "10.0.0.1"), or null. */
export declare function canonicalAddress(text: string): string | null;

/** Picks a request's key from its peer address and a trusted proxy's forwarding header. */
export declare class ClientAddressResolver {
  /** ipv6Prefix: an IPv6 client is keyed by its network of this many bits (32-128, default 56). */
  constructor(trustedProxies?: Iterable<string>, forwardedHeader?: string, ipv6Prefix?: number);
  readonly ipv6Prefix: number;
  readonly header: string;
  readonly readsHeader: boolean;
  isTrusted(address: string): boolean;
  resolve(peer: string | undefined, header: string | undefined): string;
}


/** Which responses keep their count: 'all' (default), 'failed' (status >= 400),
 *  'successful' (status < 400), or a function returning true when the response counts.
 *  A request is counted when it arrives and refunded when its response does not count. */
export type CountChoice<Req, Res> = 'all' | 'failed' | 'successful' | ((req: Req, res: Res) => boolean);

/** The request of a framework: what the limits read, and whatever else it carries
 *  (Express's req.get, req.user...). Give rateLimit<Request, Response> for exact types. */
export interface FrameworkRequest extends RequestLike {
  [property: string]: any;
}

/** The response of a framework: what the limits write, and whatever else it carries
 *  (Express's res.status(429).json(...)). */
export interface FrameworkResponse extends ResponseLike {
  [property: string]: any;
}

/** A route limit's options (rateLimit, defaultLimit, a Fastify route's config.rateLimit).
 *  An unknown option is a TypeError naming it. */
export interface RateLimitOptions<Req = FrameworkRequest, Res = FrameworkResponse> {
  /** A limit text: "5/minute", "10/second; 1000/hour". Required unless `engine` is given. */
  limit?: string;
  /** Default "token_bucket". */
  algorithm?: AlgorithmName;
  /** Default "active"; "shadow" lets refusals through with their fields. */
  mode?: ModeName;
  /** Keeps the counts in this shared-memory zone, shared by every process of the machine. */
  zone?: string;
  zoneSize?: number;
  zoneDir?: string;
  /** Keeps the counts in Redis: a redis:// URL or an ioredis client. */
  redis?: string | object;
  redisPrefix?: string;
  redisTimeoutMs?: number;
  redisProbeIntervalMs?: number;
  /** How checks are answered while the zone or Redis fails: "local" (default), "allow", "deny". */
  onStoreError?: 'local' | 'allow' | 'deny';
  /** Where a zone's notices and, with logRefusals, the refusal log write; default console. */
  logger?: { warn(message: unknown, ...rest: unknown[]): void } | null;
  /** true (10 lines a second) or a number of lines a second: one line per refusal. */
  logRefusals?: boolean | number;
  /** An engine to check with instead of one made from the options above. */
  engine?: EngineLike;
  /** The client's key (a user id, an API key); null or undefined falls back to the address. */
  key?: (req: Req) => string | null | undefined;
  /** What a request takes: a number >= 0 (default 1) or a function of the request. */
  cost?: number | ((req: Req) => number);
  count?: CountChoice<Req, Res>;
  /** Routes naming one scope share its counts; otherwise each route counts alone. */
  shared?: string;
  /** The policy name in the rate-limit fields; default the shared name, else "default". */
  name?: string;
  /** false (or a function returning false) checks nothing: for tests. Default true. */
  enabled?: boolean | ((req: Req) => boolean);
  /** Returning true lets a request through unchecked. */
  skip?: (req: Req) => boolean;
  /** Answers a refusal instead of the plain 429 (the fields and Retry-After are set). */
  onRefused?: (req: Req, res: Res, result: LimitsResultNode, next?: (err?: unknown) => void) => void;
  headers?: HeaderStyle;
  trustedProxies?: readonly string[];
  forwardedHeader?: string;
  ipv6Prefix?: number;
  /** Where failures of refunds go; default console.error. */
  onError?: (err: unknown, req: Req) => void;
}

/** A route limit's middleware: (req, res, next), for Express or node:http. */
export interface RateLimitMiddleware<Req = FrameworkRequest, Res = FrameworkResponse> {
  (req: Req, res: Res, next?: (err?: unknown) => void): void;
  /** false checks nothing until set back to true (or a function of the request). */
  enabled: boolean | ((req: Req) => boolean);
  /** Forgets the counts of this limit (a Promise with Redis). In-process engines start
   *  anew; zone and Redis ones forget the latest 10,000 keys checked here. */
  reset(): void | Promise<void>;
  /** Closes the Redis connection the limit made from a URL; nothing for other stores. */
  close(): void | Promise<void>;
}

/** A route's own limit: app.post('/login', rateLimit('5/minute'), handler). Its counts are
 *  the route's (req.baseUrl + req.route.path), or what app.use mounted it on. */
export declare function rateLimit<Req extends RequestLike = FrameworkRequest,
                                  Res extends ResponseLike = FrameworkResponse>(
    limit: string | RateLimitOptions<Req, Res>): RateLimitMiddleware<Req, Res>;

/** app.use(defaultLimit('100/minute')): one limit for every request whose route has no
 *  limit of its own (all under the scope "default"). `shared` does not apply. */
export declare function defaultLimit<Req extends RequestLike = FrameworkRequest,
                                     Res extends ResponseLike = FrameworkResponse>(
    limit: string | Omit<RateLimitOptions<Req, Res>, 'shared'>): RateLimitMiddleware<Req, Res>;

/** A refusal as an error: status 429, and the rate-limit fields and Retry-After in headers. */
export declare class RateLimitError extends Error {
  constructor(result: LimitsResultNode, headers?: { [name: string]: string });
  readonly status: 429;
  readonly statusCode: 429;
  readonly expose: true;
  readonly code: 'VORN_RATE_LIMITED';
  readonly headers: { [name: string]: string };
  readonly result: LimitsResultNode;
}

declare global {
  namespace Express {
    interface Request {
      /** The check of the vorn limit closest to refusing this request. */
      vorn?: LimitsResultNode;
    }
  }
}

declare module 'http' {
  interface IncomingMessage {
    /** The check of the vorn limit closest to refusing this request (node:http). */
    vorn?: LimitsResultNode;
  }
}
