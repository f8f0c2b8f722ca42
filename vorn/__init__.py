"""vorn: an in-process request rate limiter for Python web applications.

The engine is the native class `vorn_native.RustEngine` (also reachable as
`vorn.RustEngine`), or `vorn_native.ZoneEngine` when its clients live in a
shared-memory zone that several worker processes share; this package adds WSGI
and ASGI middlewares around it and the canonicalisation of client addresses
that they key on.
"""
from typing import TYPE_CHECKING, Any, Optional, Union, overload

from .address import ClientAddressResolver, canonical_address
from .asgi import ASGIMiddleware
from .wsgi import WSGIMiddleware
from .zone import remove_zone, zone_stats

if TYPE_CHECKING:  # the stub ships with the wheel
    from vorn_native import RustEngine, ZoneEngine, ZoneError

__all__ = ["ASGIMiddleware", "ClientAddressResolver", "RustEngine", "WSGIMiddleware",
           "ZoneEngine", "ZoneError", "canonical_address", "create_engine", "remove_zone",
           "zone_stats"]
__version__ = "0.1.0"

#: Where telemetry would be sent; the engine only stores it and opens no connection.
DEFAULT_BACKEND_URL = "http://localhost:4000"


@overload
def create_engine(algorithm: str = ..., mode: str = ..., capacity: float = ...,
                  refill_rate: float = ..., api_key: Optional[str] = ...,
                  debug: Optional[str] = ..., backend_url: str = ..., *,
                  zone: None = ..., zone_size: None = ...) -> "RustEngine": ...
@overload
def create_engine(algorithm: str = ..., mode: str = ..., capacity: float = ...,
                  refill_rate: float = ..., api_key: Optional[str] = ...,
                  debug: Optional[str] = ..., backend_url: str = ..., *,
                  zone: str, zone_size: Optional[int] = ...) -> "ZoneEngine": ...


def create_engine(algorithm: str = "token_bucket", mode: str = "active",
                  capacity: float = 100.0, refill_rate: float = 10.0,
                  api_key: Optional[str] = None, debug: Optional[str] = None,
                  backend_url: str = DEFAULT_BACKEND_URL, *, zone: Optional[str] = None,
                  zone_size: Optional[int] = None) -> Union["RustEngine", "ZoneEngine"]:
    """Builds a `vorn_native.RustEngine` with keyword arguments and Node's defaults.

    With `zone`, a `vorn_native.ZoneEngine` whose client state lives in that
    shared-memory zone (created with `zone_size` bytes when missing, else attached).
    """
    if zone is not None:
        from vorn_native import ZoneEngine

        return ZoneEngine(zone, zone_size, algorithm, mode, capacity, refill_rate, api_key,
                          debug, backend_url)
    if zone_size is not None:
        raise TypeError("create_engine(): zone_size needs a zone")
    from vorn_native import RustEngine as engine_class

    return engine_class(algorithm, mode, capacity, refill_rate, api_key, debug, backend_url)


def __getattr__(name: str) -> Any:
    # The extension is imported on first use, so the pure-Python parts load without it.
    if name in ("RustEngine", "ZoneEngine", "ZoneError"):
        import vorn_native

        return getattr(vorn_native, name)
    raise AttributeError("module 'vorn' has no attribute " + repr(name))
