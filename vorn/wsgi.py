"""WSGI middleware: one engine check per request, 429 for a refused one."""
import inspect
from typing import Any, Callable, Iterable, Optional

from .address import DEFAULT_IPV6_PREFIX
from ._core import REFUSED_BODY, REFUSED_STATUS, RequestLimiter, refused_headers

#: Key under which the engine's result dict is left in the WSGI environ.
RESULT_KEY = "vorn.result"


def _environ_key(header: str) -> str:
    return "HTTP_" + header.strip().upper().replace("-", "_")


def _route(environ: Any) -> str:
    # WSGI paths are bytes decoded as latin-1; recover the UTF-8 text.
    raw = str(environ.get("SCRIPT_NAME", "")) + str(environ.get("PATH_INFO", ""))
    try:
        return raw.encode("latin-1").decode("utf-8", "replace")
    except UnicodeEncodeError:
        return raw


class WSGIMiddleware:
    """Rate-limits a WSGI application with one engine.

    The key is the client address (REMOTE_ADDR, or the forwarding header when
    REMOTE_ADDR is a trusted proxy), unless `identity(environ)` returns a text,
    which the engine then keys on instead. An IPv6 client is keyed by its
    /`ipv6_prefix` network (see ClientAddressResolver). The route is SCRIPT_NAME + PATH_INFO.
    A refused request gets 429 and never reaches the application; in shadow
    mode the engine lets every request through. The result dict is left in
    environ["vorn.result"]. Thread-safe as far as the engine is.
    """

    def __init__(self, app: Callable[..., Iterable[bytes]], engine: Any, *,
                 trusted_proxies: Iterable[str] = (),
                 forwarded_header: str = "X-Forwarded-For",
                 identity: Optional[Callable[[Any], Optional[str]]] = None,
                 ipv6_prefix: int = DEFAULT_IPV6_PREFIX) -> None:
        if inspect.iscoroutinefunction(getattr(engine, "check", None)):
            raise TypeError("WSGIMiddleware needs a blocking engine, such as "
                            "vorn.create_engine(..., redis=...), not an asyncio one")
        self.app = app
        self.limiter = RequestLimiter(engine, trusted_proxies, forwarded_header, identity,
                                      ipv6_prefix)
        self._header_key = _environ_key(forwarded_header)

    def __call__(self, environ: Any, start_response: Callable[..., Any]) -> Iterable[bytes]:
        header = environ.get(self._header_key) if self.limiter.resolver.reads_header else None
        result = self.limiter.check(environ, environ.get("REMOTE_ADDR"), header, _route(environ))
        environ[RESULT_KEY] = result
        if not result["allowed"]:
            start_response(REFUSED_STATUS, refused_headers(result))
            # A HEAD answer has no body; servers that keep the connection open
            # would otherwise leave it in front of the next response.
            return [] if environ.get("REQUEST_METHOD") == "HEAD" else [REFUSED_BODY]
        return self.app(environ, start_response)
