"""ASGI middleware: one engine check per HTTP request, 429 for a refused one."""
import inspect
from typing import Any, Awaitable, Callable, Dict, Optional, Iterable

from .address import DEFAULT_IPV6_PREFIX
from ._core import REFUSED_BODY, RequestLimiter, refused_headers

#: Key under which the engine's result dict is added to the (copied) scope.
RESULT_KEY = "vorn.result"

_Scope = Dict[str, Any]
_App = Callable[[_Scope, Callable[[], Awaitable[Any]], Callable[[Any], Awaitable[None]]],
                Awaitable[None]]


def _header(scope: _Scope, name: bytes) -> Optional[str]:
    # Repeated header lines form one list, in order, as a proxy chain does.
    values = [value.decode("latin-1") for key, value in scope.get("headers", ())
              if key.lower() == name]
    return ",".join(values) if values else None


class ASGIMiddleware:
    """Rate-limits an ASGI application with one engine.

    Only "http" scopes are checked; lifespan scopes pass through, and so do
    websocket scopes unless `limit_websockets` is true: then each handshake is
    checked too and a refused one is turned down before it is accepted (a 429
    answer where the server offers the websocket.http.response extension,
    otherwise a close with code 1008, which servers answer with 403).
    The key is the client address (scope["client"], or the forwarding header
    when that address is a trusted proxy), unless `identity(scope)` returns a
    text. An IPv6 client is keyed by its /`ipv6_prefix` network (see
    ClientAddressResolver). The route is root_path + path. A refused request gets 429 and never
    reaches the application; in shadow mode every request goes through. The
    result dict is added to the scope given to the application under
    "vorn.result". The engine's check may also be a coroutine function (the
    engine of `vorn.create_async_engine`). Thread-safe as far as the engine is.
    """

    def __init__(self, app: _App, engine: Any, *, trusted_proxies: Iterable[str] = (),
                 forwarded_header: str = "X-Forwarded-For",
                 identity: Optional[Callable[[_Scope], Optional[str]]] = None,
                 ipv6_prefix: int = DEFAULT_IPV6_PREFIX,
                 limit_websockets: bool = False) -> None:
        self.app = app
        self.limiter = RequestLimiter(engine, trusted_proxies, forwarded_header, identity,
                                      ipv6_prefix)
        self._header_name = forwarded_header.strip().lower().encode("latin-1")
        self._checked_types = ("http", "websocket") if limit_websockets else ("http",)

    async def __call__(self, scope: _Scope, receive: Callable[[], Awaitable[Any]],
                       send: Callable[[Any], Awaitable[None]]) -> None:
        kind = scope.get("type")
        if kind not in self._checked_types:
            await self.app(scope, receive, send)
            return
        client = scope.get("client")
        peer = str(client[0]) if client else None
        header = (_header(scope, self._header_name)
                  if self.limiter.resolver.reads_header else None)
        route = scope.get("root_path", "") + scope.get("path", "")
        result = self.limiter.check(scope, peer, header, route)
        if inspect.isawaitable(result):  # an asyncio engine (vorn.create_async_engine)
            result = await result
        if not result["allowed"]:
            headers = [(name.lower().encode("latin-1"), value.encode("latin-1"))
                       for name, value in refused_headers(result)]
            if kind == "websocket":
                await _refuse_handshake(scope, send, headers)
                return
            body = b"" if scope.get("method") == "HEAD" else REFUSED_BODY
            await send({"type": "http.response.start", "status": 429, "headers": headers})
            await send({"type": "http.response.body", "body": body})
            return
        scope = dict(scope)
        scope[RESULT_KEY] = result
        await self.app(scope, receive, send)


async def _refuse_handshake(scope: _Scope, send: Callable[[Any], Awaitable[None]],
                            headers: Any) -> None:
    if "websocket.http.response" in (scope.get("extensions") or {}):
        await send({"type": "websocket.http.response.start", "status": 429, "headers": headers})
        await send({"type": "websocket.http.response.body", "body": REFUSED_BODY})
    else:
        await send({"type": "websocket.close", "code": 1008})
