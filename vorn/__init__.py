"""vorn: an in-process request rate limiter for Python web applications.

The engine is the native class `vorn_native.RustEngine` (also reachable as
`vorn.RustEngine`), or `vorn_native.ZoneEngine` when its clients live in a
shared-memory zone that several worker processes share; this package adds WSGI
and ASGI middlewares around it and the canonicalisation of client addresses
that they key on.
"""
import math
from typing import TYPE_CHECKING, Any, List, Optional, Tuple, Union, overload

from ._core import Rule
from ._names import check_names
from .address import ClientAddressResolver, canonical_address
from .asgi import ASGIMiddleware
from .limits import parse_limit, window_ms_of
from .wsgi import WSGIMiddleware
from .zone import ZoneDir, remove_zone, zone_counts, zone_directory, zone_stats

if TYPE_CHECKING:  # the stub ships with the wheel
    from vorn_native import RustEngine, SyncEngine, ZoneEngine, ZoneError

    from .redis_engine import AsyncRedisEngine, RedisEngine

__all__ = ["ASGIMiddleware", "ClientAddressResolver", "Rule", "RustEngine", "WSGIMiddleware",
           "ZoneEngine", "ZoneError", "canonical_address", "create_async_engine", "create_engine",
           "parse_limit", "remove_zone", "zone_counts", "zone_stats"]
__version__ = "0.1.0"

#: Where telemetry would be sent; the engine only stores it and opens no connection.
DEFAULT_BACKEND_URL = "http://localhost:4000"
#: The engine's allowance when neither is given (capacity also for a window alone).
DEFAULT_CAPACITY = 100.0
DEFAULT_REFILL_RATE = 10.0


@overload
def create_engine(algorithm: str = ..., mode: str = ..., capacity: Optional[float] = ...,
                  refill_rate: Optional[float] = ..., api_key: Optional[str] = ...,
                  debug: Optional[str] = ..., backend_url: str = ..., *,
                  limit: Optional[str] = ..., window: Optional[float] = ...,
                  zone: None = ..., zone_size: None = ..., zone_dir: None = ...,
                  redis: None = ..., redis_prefix: str = ..., redis_timeout: float = ...,
                  on_error: str = ...) -> "RustEngine": ...
@overload
def create_engine(algorithm: str = ..., mode: str = ..., capacity: Optional[float] = ...,
                  refill_rate: Optional[float] = ..., api_key: Optional[str] = ...,
                  debug: Optional[str] = ..., backend_url: str = ..., *,
                  limit: Optional[str] = ..., window: Optional[float] = ...,
                  zone: str, zone_size: Optional[int] = ...,
                  zone_dir: ZoneDir = ..., redis: None = ...,
                  redis_prefix: str = ..., redis_timeout: float = ...,
                  on_error: str = ...) -> "ZoneEngine": ...
@overload
def create_engine(algorithm: str = ..., mode: str = ..., capacity: Optional[float] = ...,
                  refill_rate: Optional[float] = ..., api_key: Optional[str] = ...,
                  debug: Optional[str] = ..., backend_url: str = ..., *,
                  limit: Optional[str] = ..., window: Optional[float] = ...,
                  zone: Optional[str] = ..., zone_size: Optional[int] = ...,
                  zone_dir: ZoneDir = ...,
                  redis: Any, redis_prefix: str = ..., redis_timeout: float = ...,
                  on_error: str = ..., sync: float,
                  max_overshoot: Optional[float] = ...) -> "SyncEngine": ...
@overload
def create_engine(algorithm: str = ..., mode: str = ..., capacity: Optional[float] = ...,
                  refill_rate: Optional[float] = ..., api_key: Optional[str] = ...,
                  debug: Optional[str] = ..., backend_url: str = ..., *,
                  limit: Optional[str] = ..., window: Optional[float] = ...,
                  zone: None = ..., zone_size: None = ..., zone_dir: None = ...,
                  redis: Any, redis_prefix: str = ..., redis_timeout: float = ...,
                  on_error: str = ..., sync: None = ...,
                  max_overshoot: None = ...) -> "RedisEngine": ...


def create_engine(algorithm: str = "token_bucket", mode: str = "active",
                  capacity: Optional[float] = None, refill_rate: Optional[float] = None,
                  api_key: Optional[str] = None, debug: Optional[str] = None,
                  backend_url: str = DEFAULT_BACKEND_URL, *, limit: Optional[str] = None,
                  window: Optional[float] = None, zone: Optional[str] = None,
                  zone_size: Optional[int] = None, zone_dir: ZoneDir = None,
                  redis: Any = None, redis_prefix: str = "vorn:", redis_timeout: float = 0.05,
                  on_error: str = "local", sync: Optional[float] = None,
                  max_overshoot: Optional[float] = None
                  ) -> Union["RustEngine", "ZoneEngine", "RedisEngine", "SyncEngine"]:
    """Builds a `vorn_native.RustEngine` with keyword arguments and Node's defaults
    (capacity 100, refill_rate 10).

    `limit` is a limit text such as "10/second; 1000/hour" (see `vorn.limits`),
    for any algorithm: a request is admitted only when every rate admits it, and
    counted by all of them or by none. `window` (seconds) with `capacity` is the
    one rate "capacity per window". Neither goes with `refill_rate`, and `limit`
    goes with neither `capacity` nor `window` (TypeError).

    With `zone`, a `vorn_native.ZoneEngine` whose client state lives in that
    shared-memory zone (created with `zone_size` bytes when missing, else
    attached), in the directory `zone_dir` when given; `on_error` ("local",
    "allow" or "deny") says how to answer while the zone cannot be used.

    With `redis` (a URL such as "redis://host:6379/0", or a redis-py client) the
    client state lives in that Redis instead: a `vorn.redis_engine.RedisEngine`
    with keys under `redis_prefix`, checks bounded by `redis_timeout` seconds, and
    `on_error` saying how to answer without Redis.

    With `redis` and `sync` (seconds between syncs, > 0), one limit shared
    through that Redis but answered in process: a native engine whose checks
    never wait for Redis, kept in step with it by a daemon thread; at most about
    `max_overshoot` (default 0.02) of each rate is admitted past the limit in
    all. token_bucket, fixed_window and leaky_bucket only. `close()` stops it.
    With a `zone` too (and `zone_dir`), the processes of this machine on that
    zone share one table of keys (in a file of `zone_size` bytes when new) and
    one of them syncs for all; `on_error` does not go with `sync`.

    Unlike the classes themselves, refuses an unknown algorithm or mode name
    (ValueError, TypeError for a non-str), listing the valid ones.
    """
    check_names(algorithm, mode)
    rates = _rates_of("create_engine", limit, window, capacity, refill_rate)
    capacity = DEFAULT_CAPACITY if capacity is None else capacity
    refill_rate = DEFAULT_REFILL_RATE if refill_rate is None else refill_rate
    if sync is not None:
        return _synced_engine(algorithm, mode, rates, capacity, refill_rate, api_key, debug,
                              backend_url, zone, zone_size, zone_dir, redis, redis_prefix,
                              redis_timeout, on_error, sync, max_overshoot)
    if zone is not None and redis is not None:
        raise TypeError("create_engine(): give a zone or redis, not both")
    if max_overshoot is not None:
        raise TypeError("create_engine(): max_overshoot needs sync")
    if zone is not None:
        from ._native import ZoneEngine

        if rates is None:
            return ZoneEngine(zone, zone_size, algorithm, mode, capacity, refill_rate, api_key,
                              debug, backend_url, zone_directory(zone_dir), on_error)
        return ZoneEngine(zone, zone_size, algorithm, mode, capacity, refill_rate, api_key,
                          debug, backend_url, zone_directory(zone_dir), on_error, rates=rates)
    if zone_size is not None:
        raise TypeError("create_engine(): zone_size needs a zone")
    if zone_dir is not None:
        raise TypeError("create_engine(): zone_dir needs a zone")
    if redis is not None:
        _check_redis("create_engine", redis)
        from .redis_engine import RedisEngine

        if rates is None:
            return RedisEngine(redis, algorithm, mode, capacity, refill_rate, api_key, debug,
                               backend_url, prefix=redis_prefix, timeout=redis_timeout,
                               on_error=on_error)
        return RedisEngine(redis, algorithm, mode, capacity, refill_rate, api_key, debug,
                           backend_url, prefix=redis_prefix, timeout=redis_timeout,
                           on_error=on_error, rates=rates)
    from ._native import RustEngine as engine_class

    if rates is None:
        return engine_class(algorithm, mode, capacity, refill_rate, api_key, debug, backend_url)
    return engine_class.from_rates(algorithm, mode, rates, api_key, debug, backend_url)


def _synced_engine(algorithm: str, mode: str, rates: Optional[List[Tuple[float, int]]],
                   capacity: float, refill_rate: float, api_key: Optional[str],
                   debug: Optional[str], backend_url: str, zone: Optional[str],
                   zone_size: Optional[int], zone_dir: ZoneDir, redis: Any, redis_prefix: str,
                   redis_timeout: float, on_error: str, sync: Any,
                   max_overshoot: Optional[float]) -> Any:
    if redis is None:
        raise TypeError("create_engine(): sync needs redis")
    # While a synced engine cannot use the machine's shared table or Redis it
    # always limits alone ("local"). zone_size sizes the shared table's file.
    if zone_size is not None and zone is None:
        raise TypeError("create_engine(): zone_size needs a zone")
    if on_error != "local":
        raise TypeError("create_engine(): on_error does not go with sync")
    if zone_dir is not None and zone is None:
        raise TypeError("create_engine(): zone_dir needs a zone")
    _check_redis("create_engine", redis)
    from ._sync import bucket_rates, create_synced_engine

    if rates is None:
        rates = bucket_rates(algorithm, capacity, refill_rate)
    return create_synced_engine(redis, algorithm, mode, rates, api_key, debug, backend_url,
                                sync=sync, max_overshoot=0.02 if max_overshoot is None
                                else max_overshoot, prefix=redis_prefix,
                                timeout=redis_timeout, zone=zone, zone_size=zone_size,
                                zone_dir=zone_directory(zone_dir))


def create_async_engine(algorithm: str = "token_bucket", mode: str = "active",
                        capacity: Optional[float] = None, refill_rate: Optional[float] = None,
                        api_key: Optional[str] = None, debug: Optional[str] = None,
                        backend_url: str = DEFAULT_BACKEND_URL, *, limit: Optional[str] = None,
                        window: Optional[float] = None, redis: Any,
                        redis_prefix: str = "vorn:", redis_timeout: float = 0.05,
                        on_error: str = "local") -> "AsyncRedisEngine":
    """`create_engine(..., redis=...)` for asyncio (`redis.asyncio`): a
    `vorn.redis_engine.AsyncRedisEngine`, whose `check` is awaited. `limit` and
    `window` as for `create_engine`."""
    rates = _rates_of("create_async_engine", limit, window, capacity, refill_rate)
    capacity = DEFAULT_CAPACITY if capacity is None else capacity
    refill_rate = DEFAULT_REFILL_RATE if refill_rate is None else refill_rate
    _check_redis("create_async_engine", redis)
    from .redis_engine import AsyncRedisEngine

    if rates is None:
        return AsyncRedisEngine(redis, algorithm, mode, capacity, refill_rate, api_key, debug,
                                backend_url, prefix=redis_prefix, timeout=redis_timeout,
                                on_error=on_error)
    return AsyncRedisEngine(redis, algorithm, mode, capacity, refill_rate, api_key, debug,
                            backend_url, prefix=redis_prefix, timeout=redis_timeout,
                            on_error=on_error, rates=rates)


def _rates_of(caller: str, limit: Optional[str], window: Optional[float],
              capacity: Optional[float], refill_rate: Optional[float]
              ) -> Optional[List[Tuple[float, int]]]:
    """The rates `limit` or `window` give, or None when neither is given (the
    engine of `capacity` and `refill_rate`)."""
    if limit is not None:
        for name, value in (("capacity", capacity), ("refill_rate", refill_rate),
                            ("window", window)):
            if value is not None:
                raise TypeError(caller + "(): give a limit or " + name + ", not both")
        return parse_limit(limit)
    if window is None:
        return None
    if refill_rate is not None:
        raise TypeError(caller + "(): give a window or refill_rate, not both (a window "
                        "with a capacity sets the rate)")
    count = DEFAULT_CAPACITY if capacity is None else capacity
    if isinstance(count, bool) or not isinstance(count, (int, float)):
        raise TypeError(caller + "(): capacity must be a number, not " + type(count).__name__)
    if not 0 <= count < math.inf:
        raise ValueError(caller + "(): capacity must be a finite number >= 0 with a window, "
                         "not " + repr(count))
    return [(count, window_ms_of(window))]


def _check_redis(caller: str, redis: Any) -> None:
    # Both redis-py clients, blocking and asyncio, run commands through this method.
    if not isinstance(redis, str) and not callable(getattr(redis, "execute_command", None)):
        raise TypeError(caller + "(): redis must be a Redis URL (redis://, rediss://, "
                        "redis+cluster://, redis+sentinel://) or a redis-py "
                        "client, not " + repr(redis))


def __getattr__(name: str) -> Any:
    # The extension is imported on first use, so the pure-Python parts load without it.
    if name in ("RustEngine", "ZoneEngine", "ZoneError"):
        from . import _native

        return getattr(_native, name)
    if name in ("django", "fastapi", "flask"):  # each imports its framework
        import importlib

        return importlib.import_module("vorn." + name)
    raise AttributeError("module 'vorn' has no attribute " + repr(name))
