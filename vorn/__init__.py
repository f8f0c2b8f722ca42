"""vorn: an in-process request rate limiter for Python web applications.

The engine is the native class `vorn_native.RustEngine` (also reachable as
`vorn.RustEngine`), or `vorn_native.ZoneEngine` when its clients live in a
shared-memory zone that several worker processes share; this package adds WSGI
and ASGI middlewares around it and the canonicalisation of client addresses
that they key on.
"""
from typing import TYPE_CHECKING, Any, Optional, Union, overload

from ._core import Rule
from ._names import check_names
from .address import ClientAddressResolver, canonical_address
from .asgi import ASGIMiddleware
from .wsgi import WSGIMiddleware
from .zone import ZoneDir, remove_zone, zone_directory, zone_stats

if TYPE_CHECKING:  # the stub ships with the wheel
    from vorn_native import RustEngine, ZoneEngine, ZoneError

    from .redis_engine import AsyncRedisEngine, RedisEngine

__all__ = ["ASGIMiddleware", "ClientAddressResolver", "Rule", "RustEngine", "WSGIMiddleware",
           "ZoneEngine", "ZoneError", "canonical_address", "create_async_engine", "create_engine",
           "remove_zone", "zone_stats"]
__version__ = "0.1.0"

#: Where telemetry would be sent; the engine only stores it and opens no connection.
DEFAULT_BACKEND_URL = "http://localhost:4000"


@overload
def create_engine(algorithm: str = ..., mode: str = ..., capacity: float = ...,
                  refill_rate: float = ..., api_key: Optional[str] = ...,
                  debug: Optional[str] = ..., backend_url: str = ..., *,
                  zone: None = ..., zone_size: None = ..., zone_dir: None = ...,
                  redis: None = ..., redis_prefix: str = ..., redis_timeout: float = ...,
                  on_error: str = ...) -> "RustEngine": ...
@overload
def create_engine(algorithm: str = ..., mode: str = ..., capacity: float = ...,
                  refill_rate: float = ..., api_key: Optional[str] = ...,
                  debug: Optional[str] = ..., backend_url: str = ..., *,
                  zone: str, zone_size: Optional[int] = ...,
                  zone_dir: ZoneDir = ..., redis: None = ...,
                  redis_prefix: str = ..., redis_timeout: float = ...,
                  on_error: str = ...) -> "ZoneEngine": ...
@overload
def create_engine(algorithm: str = ..., mode: str = ..., capacity: float = ...,
                  refill_rate: float = ..., api_key: Optional[str] = ...,
                  debug: Optional[str] = ..., backend_url: str = ..., *,
                  zone: None = ..., zone_size: None = ..., zone_dir: None = ...,
                  redis: Any, redis_prefix: str = ..., redis_timeout: float = ...,
                  on_error: str = ...) -> "RedisEngine": ...


def create_engine(algorithm: str = "token_bucket", mode: str = "active",
                  capacity: float = 100.0, refill_rate: float = 10.0,
                  api_key: Optional[str] = None, debug: Optional[str] = None,
                  backend_url: str = DEFAULT_BACKEND_URL, *, zone: Optional[str] = None,
                  zone_size: Optional[int] = None, zone_dir: ZoneDir = None,
                  redis: Any = None, redis_prefix: str = "vorn:", redis_timeout: float = 0.05,
                  on_error: str = "local") -> Union["RustEngine", "ZoneEngine", "RedisEngine"]:
    """Builds a `vorn_native.RustEngine` with keyword arguments and Node's defaults.

    With `zone`, a `vorn_native.ZoneEngine` whose client state lives in that
    shared-memory zone (created with `zone_size` bytes when missing, else
    attached), in the directory `zone_dir` when given; `on_error` ("local",
    "allow" or "deny") says how to answer while the zone cannot be used.

    With `redis` (a URL such as "redis://host:6379/0", or a redis-py client) the
    client state lives in that Redis instead: a `vorn.redis_engine.RedisEngine`
    with keys under `redis_prefix`, checks bounded by `redis_timeout` seconds, and
    `on_error` saying how to answer without Redis.

    Unlike the classes themselves, refuses an unknown algorithm or mode name
    (ValueError, TypeError for a non-str), listing the valid ones.
    """
    check_names(algorithm, mode)
    if zone is not None and redis is not None:
        raise TypeError("create_engine(): give a zone or redis, not both")
    if zone is not None:
        from vorn_native import ZoneEngine

        return ZoneEngine(zone, zone_size, algorithm, mode, capacity, refill_rate, api_key,
                          debug, backend_url, zone_directory(zone_dir), on_error)
    if zone_size is not None:
        raise TypeError("create_engine(): zone_size needs a zone")
    if zone_dir is not None:
        raise TypeError("create_engine(): zone_dir needs a zone")
    if redis is not None:
        _check_redis("create_engine", redis)
        from .redis_engine import RedisEngine

        return RedisEngine(redis, algorithm, mode, capacity, refill_rate, api_key, debug,
                           backend_url, prefix=redis_prefix, timeout=redis_timeout,
                           on_error=on_error)
    from vorn_native import RustEngine as engine_class

    return engine_class(algorithm, mode, capacity, refill_rate, api_key, debug, backend_url)


def create_async_engine(algorithm: str = "token_bucket", mode: str = "active",
                        capacity: float = 100.0, refill_rate: float = 10.0,
                        api_key: Optional[str] = None, debug: Optional[str] = None,
                        backend_url: str = DEFAULT_BACKEND_URL, *, redis: Any,
                        redis_prefix: str = "vorn:", redis_timeout: float = 0.05,
                        on_error: str = "local") -> "AsyncRedisEngine":
    """`create_engine(..., redis=...)` for asyncio (`redis.asyncio`): a
    `vorn.redis_engine.AsyncRedisEngine`, whose `check` is awaited."""
    _check_redis("create_async_engine", redis)
    from .redis_engine import AsyncRedisEngine

    return AsyncRedisEngine(redis, algorithm, mode, capacity, refill_rate, api_key, debug,
                            backend_url, prefix=redis_prefix, timeout=redis_timeout,
                            on_error=on_error)


def _check_redis(caller: str, redis: Any) -> None:
    # Both redis-py clients, blocking and asyncio, run commands through this method.
    if not isinstance(redis, str) and not callable(getattr(redis, "execute_command", None)):
        raise TypeError(caller + "(): redis must be a redis:// or rediss:// URL or a redis-py "
                        "client, not " + repr(redis))


def __getattr__(name: str) -> Any:
    # The extension is imported on first use, so the pure-Python parts load without it.
    if name in ("RustEngine", "ZoneEngine", "ZoneError"):
        import vorn_native

        return getattr(vorn_native, name)
    raise AttributeError("module 'vorn' has no attribute " + repr(name))
