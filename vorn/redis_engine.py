"""Engines that keep every client's count in Redis, so that all processes and
machines pointed at one Redis share one limit per client.

Each check is one atomic round trip: the limiter's Lua script (the lua/ files,
shared with the Node package) runs on the client's key with EVALSHA and takes
the time from the Redis server. When Redis cannot be reached, is slower than the
timeout or answers with an error, the engine answers as `on_error` says ("local":
from an in-process native engine with the same configuration; "allow"; "deny"),
logs one warning, and goes back to Redis by itself once a background probe finds
it answering again. No check ever waits for a reconnection.

`RedisEngine` uses redis-py's blocking client (WSGI); `AsyncRedisEngine` uses
`redis.asyncio` (ASGI). Both return the same dict as `vorn_native.RustEngine` and
take the RustEngine's seven arguments after `redis` (a URL or a client), then the
keywords `prefix`, `timeout` (seconds), `on_error`, `probe_interval` (seconds)
and, for tests, `clock`: a function giving milliseconds since the epoch that the
scripts then use instead of the Redis server's time.
"""
import asyncio
import hashlib
import logging
import math
import pathlib
import struct
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

LOG = logging.getLogger("vorn.redis")

DEFAULT_PREFIX = "vorn:"
DEFAULT_TIMEOUT = 0.05
#: Seconds between two probes of a Redis that failed.
DEFAULT_PROBE_INTERVAL = 0.5
ON_ERROR_CHOICES = ("local", "allow", "deny")
WINDOW_MS = 60000
U64_MAX = 2 ** 64 - 1

_PACKAGE_DIR = pathlib.Path(__file__).resolve().parent
# The wheel carries the scripts inside the package; a checkout keeps them at the top.
_SCRIPT_DIRS = (_PACKAGE_DIR / "lua", _PACKAGE_DIR.parent / "lua")


def script_text(limiter: str) -> str:
    """The Lua source of one limiter ("token_bucket", "sliding_window", ...)."""
    for directory in _SCRIPT_DIRS:
        path = directory / (limiter + ".lua")
        if path.is_file():
            return path.read_text(encoding="utf-8")
    raise FileNotFoundError("vorn: no Lua script for " + limiter + " in "
                            + " or ".join(str(d) for d in _SCRIPT_DIRS))


def _limiter_for(algorithm: str) -> str:
    # Every other name, recognised or not, runs the token bucket.
    return algorithm if algorithm in ("sliding_window", "fixed_window", "leaky_bucket") \
        else "token_bucket"


def whole_count(value: float) -> int:
    """A capacity as a count of requests: truncated, NaN and negatives 0, saturating."""
    if not value > 0:
        return 0
    return U64_MAX if value >= 2.0 ** 64 else int(value)


def script_number(value: float) -> str:
    """A number as the script reads it back exactly (Lua's tonumber)."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return repr(value)


def key_number(value: float) -> str:
    """A number in a key, written the same way by both hosts: whole numbers below
    2^53 as digits, everything else by its bits."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value == int(value) and abs(value) < 2.0 ** 53:
        return str(int(value))
    return "x" + struct.pack(">d", value).hex()


class Limits:
    """What one configuration sends to Redis: the script, its arguments and the
    key prefix that keeps engines with other limits apart. Immutable."""

    def __init__(self, algorithm: str, capacity: float, refill_rate: float, prefix: str) -> None:
        self.limiter = _limiter_for(algorithm)
        capacity, refill_rate = float(capacity), float(refill_rate)
        if self.limiter in ("sliding_window", "fixed_window"):
            count = str(whole_count(capacity))
            self.args: Tuple[str, ...] = (count, str(WINDOW_MS))
            shape = count + ":" + str(WINDOW_MS)
        else:
            self.args = (script_number(capacity), script_number(refill_rate))
            shape = key_number(capacity) + ":" + key_number(refill_rate)
        tag = {"token_bucket": "tb", "sliding_window": "sw", "fixed_window": "fw",
               "leaky_bucket": "lb"}[self.limiter]
        self.key_prefix = prefix + tag + ":" + shape + ":"
        # Outside every client's key space: what the probe of a failed Redis checks.
        self.probe_key = prefix + "probe"
        self.refused_reason = "token_exhausted" if self.limiter == "token_bucket" \
            else "limit_exceeded"


class Script:
    """A Lua script's text and SHA1, the name EVALSHA runs it by."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.sha = hashlib.sha1(text.encode("utf-8")).hexdigest()


class _EngineCore:
    """Configuration, result building and the degraded state that both engines
    share. The degraded flag is read without a lock (a stale read only picks the
    other path for one check); its changes happen under `_state_lock`."""

    def __init__(self, algorithm: str, mode: str, capacity: float, refill_rate: float,
                 api_key: Optional[str], debug: Optional[str], backend_url: str,
                 prefix: str, timeout: float, on_error: str, probe_interval: float,
                 clock: Optional[Callable[[], int]]) -> None:
        from vorn_native import RustEngine

        if on_error not in ON_ERROR_CHOICES:
            raise ValueError("on_error must be 'local', 'allow' or 'deny', not " + repr(on_error))
        if not timeout > 0:
            raise ValueError("the Redis timeout must be a positive number of seconds")
        # Also validates the arguments exactly as the native engine does.
        self.local = RustEngine(algorithm, mode, capacity, refill_rate, api_key, debug,
                                backend_url)
        self.algorithm = algorithm
        self.mode = mode if mode in ("shadow", "disabled") else "active"
        self.limits = Limits(algorithm, capacity, refill_rate, prefix)
        # The limit and window clients are told, the same as the native engine's.
        told = RustEngine(algorithm, "disabled", capacity, refill_rate, None, None,
                          backend_url).check_limits("", "/")
        self.policy = {"limit": told["limit"], "window_ms": told["window_ms"]}
        self.timeout = timeout
        self.on_error = on_error
        self.probe_interval = probe_interval
        self.clock = clock
        # Masked in log lines; set by the engine once it knows its client.
        self.password: Optional[str] = None
        self._degraded = False
        self._closed = False
        self._state_lock = threading.Lock()

    @property
    def degraded(self) -> bool:
        """True while checks are answered without Redis."""
        return self._degraded

    def script_args(self, ip: str, identity: Optional[str],
                    told: bool = False) -> Tuple[Any, ...]:
        """EVALSHA's arguments after the SHA: the key count, the key, the limits, the
        time, and "1" when the waits are wanted too."""
        key = identity if identity is not None else ip
        if not isinstance(key, str):
            raise TypeError("the key must be a str, not " + type(key).__name__)
        now = "" if self.clock is None else str(int(self.clock()))
        return (1, self.limits.key_prefix + key, *self.limits.args, now, *(("1",) if told else ()))

    def probe_args(self) -> Tuple[Any, ...]:
        """A check of the probe key: Redis is back when the script runs again, not
        merely when it answers PING (a full or read-only Redis still does)."""
        return (1, self.limits.probe_key, *self.limits.args, "")

    def result(self, route: str, admitted: bool, reason: str, remaining: Optional[int],
               started: float) -> Dict[str, Any]:
        would_block = not admitted
        shadow = self.mode == "shadow"
        if admitted:
            decision = "allow"
        else:
            decision = "would_block" if shadow else "block"
        latency_ms = int((time.monotonic() - started) * 1000)
        return {"allowed": admitted or shadow, "would_block": would_block, "reason": reason,
                "decision": {"decision": decision, "reason": reason,
                             "algorithm": self.algorithm, "route": route,
                             "remaining": remaining, "latency_ms": latency_ms}}

    def from_reply(self, route: str, reply: Any, started: float,
                   told: bool = False) -> Dict[str, Any]:
        # "<1 or 0> <remaining> <message>", and when told "\n<next ms> <reset ms>"
        admitted = reply[0] in (49, "1")  # b"1"[0] or "1"[0]
        remaining = int(reply[2:reply.index(b" " if isinstance(reply, bytes) else " ", 2)])
        reason = "within_limit" if admitted else self.limits.refused_reason
        result = self.result(route, admitted, reason, remaining, started)
        if told:
            waits = reply.split(b"\n" if isinstance(reply, bytes) else "\n")[1].split()
            next_ms, reset_ms = (None if int(wait) < 0 else int(wait) for wait in waits)
            self.add_figures(result, remaining, next_ms, reset_ms)
        return result

    def add_figures(self, result: Dict[str, Any], remaining: Optional[int],
                    next_ms: Optional[int], reset_ms: Optional[int]) -> None:
        """Adds what check_limits tells, in the native engine's order."""
        result.update(limit=self.policy["limit"], remaining=remaining, retry_after_ms=next_ms,
                      reset_after_ms=reset_ms, window_ms=self.policy["window_ms"])

    def without_redis(self, ip: str, route: str, identity: Optional[str],
                      started: float, told: bool = False) -> Dict[str, Any]:
        if self.on_error == "local":
            return (self.local.check_limits if told else self.local.check)(ip, route, identity)
        if self.on_error == "allow":
            result = self.result(route, True, "within_limit", None, started)
            if told:
                self.add_figures(result, None, 0, None)
        else:
            result = self.result(route, False, "limit_exceeded", 0, started)
            if told:
                self.add_figures(result, 0, None, None)
        return result

    def enter_degraded(self, error: BaseException, describe: str) -> bool:
        """Marks the engine degraded; True when this call did it (and must start the probe)."""
        with self._state_lock:
            if self._degraded or self._closed:
                return False
            self._degraded = True
        LOG.warning("vorn: Redis at %s failed (%s); answering %s until it is back", describe,
                    _error_text(error, self), _fallback_words(self.on_error))
        return True

    def leave_degraded(self, describe: str) -> None:
        with self._state_lock:
            self._degraded = False
        LOG.warning("vorn: Redis at %s answers again; checks go back to it", describe)


def _fallback_words(on_error: str) -> str:
    return {"local": "from the in-process engine", "allow": "by allowing every request",
            "deny": "by refusing every request"}[on_error]


def _error_text(error: BaseException, core: _EngineCore) -> str:
    text = type(error).__name__ + ": " + str(error)
    return text.replace(core.password, "***") if core.password else text


def _describe(client: Any) -> Tuple[str, Optional[str]]:
    """Where a client points, for log lines (never the password), and its password."""
    kwargs = getattr(getattr(client, "connection_pool", None), "connection_kwargs", {}) or {}
    if "path" in kwargs:
        where = "unix:" + str(kwargs["path"])
    else:
        where = "%s:%s/%s" % (kwargs.get("host", "localhost"), kwargs.get("port", 6379),
                              kwargs.get("db", 0))
    return where, kwargs.get("password")


def _client_from_url(factory: Callable[..., Any], url: str, timeout: float) -> Any:
    try:
        return factory(url, socket_timeout=timeout, socket_connect_timeout=timeout,
                       retry_on_timeout=False)
    except ValueError as error:
        # The URL itself is never repeated: it may carry a password.
        raise ValueError("vorn: the Redis URL is not valid (redis://[[user]:password@]"
                         "host[:port][/db], rediss://... or unix://path): "
                         + _without_url(str(error), url)) from None


def _without_url(text: str, url: str) -> str:
    return text.replace(url, "<url>") if url else text


def _redis_errors() -> Tuple[type, ...]:
    from redis.exceptions import RedisError

    return (RedisError, OSError, asyncio.TimeoutError)


class _RedisEngineBase:
    """What the blocking and the asyncio Redis engines share: the configuration,
    the client (built from a URL by the subclass's `_client_from`, or given) and
    the script; `_start` sets up what a subclass keeps besides."""

    def __init__(self, redis: Any, algorithm: str = "token_bucket", mode: str = "active",
                 capacity: float = 100.0, refill_rate: float = 10.0,
                 api_key: Optional[str] = None, debug: Optional[str] = None,
                 backend_url: str = "http://localhost:4000", *, prefix: str = DEFAULT_PREFIX,
                 timeout: float = DEFAULT_TIMEOUT, on_error: str = "local",
                 probe_interval: float = DEFAULT_PROBE_INTERVAL,
                 clock: Optional[Callable[[], int]] = None) -> None:
        self._core = _EngineCore(algorithm, mode, capacity, refill_rate, api_key, debug,
                                 backend_url, prefix, timeout, on_error, probe_interval, clock)
        if isinstance(redis, str):
            self._client = self._client_from(redis, timeout)
            self._owns_client = True
        else:
            self._client = redis
            self._owns_client = False
        self._where, self._core.password = _describe(self._client)
        self._script = Script(script_text(self._core.limits.limiter))
        self._errors = _redis_errors()
        self._start()

    @property
    def degraded(self) -> bool:
        """True while checks are answered without Redis."""
        return self._core.degraded

    @property
    def client(self) -> Any:
        return self._client

    @staticmethod
    def _client_from(url: str, timeout: float) -> Any:
        raise NotImplementedError

    def _start(self) -> None:
        pass


class RedisEngine(_RedisEngineBase):
    """A rate-limiting engine whose per-client state lives in Redis (blocking client).

    `check(ip, route, identity=None)` returns the same dict as
    `vorn_native.RustEngine.check`. Thread-safe: redis-py's client keeps a pool
    of connections. While Redis fails, one daemon thread probes it every
    `probe_interval` seconds; `close()` stops it and closes a client built here.
    """

    @staticmethod
    def _client_from(url: str, timeout: float) -> Any:
        import redis as redis_py

        return _client_from_url(redis_py.Redis.from_url, url, timeout)

    def check(self, ip: str, route: str, identity: Optional[str] = None) -> Dict[str, Any]:
        return self._check(ip, route, identity, False)

    def check_limits(self, ip: str, route: str,
                     identity: Optional[str] = None) -> Dict[str, Any]:
        """check's result followed by the limit figures, as RustEngine.check_limits."""
        return self._check(ip, route, identity, True)

    def _check(self, ip: str, route: str, identity: Optional[str], told: bool) -> Dict[str, Any]:
        core = self._core
        if core.mode == "disabled":
            return (core.local.check_limits if told else core.local.check)(ip, route, identity)
        started = time.monotonic()
        args = core.script_args(ip, identity, told)
        if not core.degraded:
            try:
                return core.from_reply(route, self._evalsha(args), started, told)
            except self._errors as error:
                if core.enter_degraded(error, self._where):
                    threading.Thread(target=self._probe, name="vorn-redis-probe",
                                     daemon=True).start()
        return core.without_redis(ip, route, identity, started, told)

    def _evalsha(self, args: Tuple[Any, ...]) -> Any:
        from redis.exceptions import NoScriptError

        try:
            return self._client.execute_command("EVALSHA", self._script.sha, *args)
        except NoScriptError:  # a restarted or flushed Redis
            self._client.script_load(self._script.text)
            return self._client.execute_command("EVALSHA", self._script.sha, *args)

    def _probe(self) -> None:
        core = self._core
        while not core._closed:
            time.sleep(core.probe_interval)
            try:
                self._evalsha(core.probe_args())
            except self._errors:
                continue
            if not core._closed:
                core.leave_degraded(self._where)
            return

    def close(self) -> None:
        """Stops the probe; closes the client when the engine built it from a URL."""
        self._core._closed = True
        if self._owns_client:
            self._client.close()


class AsyncRedisEngine(_RedisEngineBase):
    """A rate-limiting engine whose per-client state lives in Redis (`redis.asyncio`).

    `await check(ip, route, identity=None)` returns the same dict as
    `vorn_native.RustEngine.check`. Use it from one event loop. While Redis
    fails, one task on that loop probes it every `probe_interval` seconds;
    `await close()` stops it and closes a client built here.
    """

    @staticmethod
    def _client_from(url: str, timeout: float) -> Any:
        import redis.asyncio as redis_asyncio

        return _client_from_url(redis_asyncio.Redis.from_url, url, timeout)

    def _start(self) -> None:
        self._probe_task: Optional["asyncio.Task[None]"] = None
        # Checks waiting for the next pipeline: (EVALSHA arguments, future of the reply).
        self._batch: List[Tuple[Tuple[Any, ...], "asyncio.Future[Any]"]] = []
        # Pipelines in flight; the loop itself keeps only weak references to tasks.
        self._sending: Set["asyncio.Task[None]"] = set()

    async def check(self, ip: str, route: str,
                    identity: Optional[str] = None) -> Dict[str, Any]:
        return await self._check(ip, route, identity, False)

    async def check_limits(self, ip: str, route: str,
                           identity: Optional[str] = None) -> Dict[str, Any]:
        """check's result followed by the limit figures, as RustEngine.check_limits."""
        return await self._check(ip, route, identity, True)

    async def _check(self, ip: str, route: str, identity: Optional[str],
                     told: bool) -> Dict[str, Any]:
        core = self._core
        if core.mode == "disabled":
            return (core.local.check_limits if told else core.local.check)(ip, route, identity)
        started = time.monotonic()
        args = core.script_args(ip, identity, told)
        if not core.degraded:
            try:
                return core.from_reply(route, await self._evalsha(args), started, told)
            except self._errors as error:
                if core.enter_degraded(error, self._where):
                    self._probe_task = asyncio.get_running_loop().create_task(self._probe())
        return core.without_redis(ip, route, identity, started, told)

    def _evalsha(self, args: Tuple[Any, ...]) -> "asyncio.Future[Any]":
        # Checks started while a pipeline is being written share the next one:
        # still one round trip per check, and far fewer of them.
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        self._batch.append((args, future))
        if len(self._batch) == 1:
            task = loop.create_task(self._send_batch())
            self._sending.add(task)
            task.add_done_callback(self._sending.discard)
        return future

    async def _send_batch(self) -> None:
        from redis.exceptions import NoScriptError

        batch, self._batch = self._batch, []
        try:
            replies = await self._pipeline(batch)
            if any(isinstance(reply, NoScriptError) for reply in replies):
                await self._client.script_load(self._script.text)  # a restarted Redis
                replies = await self._pipeline(batch)
        except BaseException as error:  # noqa: B902 (every waiting check gets the failure)
            for _, future in batch:
                if not future.done():
                    future.set_exception(error)
            if not isinstance(error, Exception):
                raise
            return
        for (_, future), reply in zip(batch, replies):
            if future.done():
                continue
            if isinstance(reply, Exception):
                future.set_exception(reply)
            else:
                future.set_result(reply)

    async def _pipeline(self, batch: List[Tuple[Tuple[Any, ...], Any]]) -> List[Any]:
        pipe = self._client.pipeline(transaction=False)
        for args, _ in batch:
            pipe.execute_command("EVALSHA", self._script.sha, *args)
        return await pipe.execute(raise_on_error=False)

    async def _probe(self) -> None:
        core = self._core
        while not core._closed:
            await asyncio.sleep(core.probe_interval)
            try:
                await self._evalsha(core.probe_args())
            except self._errors:
                continue
            if not core._closed:
                core.leave_degraded(self._where)
            return

    async def close(self) -> None:
        """Stops the probe; closes the client when the engine built it from a URL."""
        self._core._closed = True
        if self._probe_task is not None:
            self._probe_task.cancel()
        if self._owns_client:
            await self._client.close()
