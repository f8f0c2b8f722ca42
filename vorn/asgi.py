"""ASGI middleware: engine checks per HTTP request, rate-limit headers, 429 for a refused one."""
import inspect
import sys
from typing import (Any, Awaitable, Callable, Dict, Iterable, List, Optional, Sequence, Tuple,
                    Union)

from ._core import REFUSED_BODY, REFUSED_CONTENT_HEADERS, RequestLimiter, Rule
from ._core import LimitingMiddleware, closest_to_refusing, engine_text, identity_key
from ._headers import ResponseFields, check_header_style
from ._refusal_log import refusal_log_of
from .address import DEFAULT_IPV6_PREFIX

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


class ASGIMiddleware(LimitingMiddleware):
    """Rate-limits an ASGI application with one engine or a list of rules.

    Only "http" scopes are checked; lifespan scopes pass through, and so do
    websocket scopes unless `limit_websockets` is true: then each handshake is
    checked too and a refused one is turned down before it is accepted (a 429
    answer where the server offers the websocket.http.response extension,
    otherwise a close with code 1008, which servers answer with 403).
    The key is the client address (scope["client"], or the forwarding header
    when that address is a trusted proxy), unless `identity(scope)` returns a
    text. An IPv6 client is keyed by its /`ipv6_prefix` network (see
    ClientAddressResolver). The route is root_path + path.

    With `rules` (a list of vorn.Rule) instead of `engine`, a request is checked
    against every rule that applies to it and refused if any refuses; the
    headers and scope["vorn.result"] describe the rule closest to refusing.
    `skip(scope)` returning true lets a request through unchecked.

    Every checked HTTP response carries the rate-limit fields of `headers`
    ("draft", "legacy", "x" or None; see vorn._headers). A refused request gets
    429 with Retry-After and never reaches the application; `on_refused`, an
    ASGI application, answers it instead when given (the fields are added to
    its answer). In shadow mode every request goes through, with the fields of
    the verdict it would have had. The result dict is added to the scope given
    to the application under "vorn.result". An engine's check may also be a
    coroutine function (the engine of `vorn.create_async_engine`). Its settings
    are read once, when it is made (a peer's key is remembered: see
    ClientAddressResolver). Thread-safe as far as the engines are.

    Proxies: the server may have rewritten scope["client"] before this sees it.
    uvicorn does by default (--proxy-headers is on, --forwarded-allow-ips is
    127.0.0.1 or $FORWARDED_ALLOW_IPS): for a request from an allowed address it
    sets the client to the rightmost X-Forwarded-For entry that is not allowed,
    so `trusted_proxies` then sees that client and reads no header again; any
    process on the host can name any client that way, and
    --forwarded-allow-ips="*" takes the leftmost entry, which the client
    writes. Run uvicorn with --no-proxy-headers and give `trusted_proxies` here
    (which also reads `Forwarded`, walks several hops and keys IPv6 clients by
    their network), or keep uvicorn's rewriting and give no `trusted_proxies`;
    a proxy on another host that neither trusts makes every client one key.
    gunicorn rewrites no address (REMOTE_ADDR is always the peer; its own
    --forwarded-allow-ips only decides which peers' X-Forwarded-Proto it
    believes), so the WSGI middleware's `trusted_proxies` is what reads it.
    """

    def __init__(self, app: _App, engine: Any = None, *,
                 rules: Optional[Sequence[Rule]] = None,
                 trusted_proxies: Iterable[str] = (),
                 forwarded_header: str = "X-Forwarded-For",
                 identity: Optional[Callable[[_Scope], Optional[str]]] = None,
                 ipv6_prefix: int = DEFAULT_IPV6_PREFIX,
                 limit_websockets: bool = False,
                 headers: Optional[str] = "draft",
                 skip: Optional[Callable[[_Scope], bool]] = None,
                 on_refused: Optional[_App] = None,
                 log_refusals: Union[None, bool, int] = None) -> None:
        self.app = app
        self.limiter = RequestLimiter(engine, trusted_proxies, forwarded_header, identity,
                                      ipv6_prefix, rules=rules)
        self.headers = check_header_style(headers)
        self.skip = skip
        self.on_refused = on_refused
        self._refusal_log = refusal_log_of(log_refusals)
        self._header_name = forwarded_header.strip().lower().encode("latin-1")
        self._checked_types = ("http", "websocket") if limit_websockets else ("http",)
        self._take_settings(as_bytes=True)
        rule = self._only_rule
        if rule is not None and _tells_one_policy(rule):
            self._fields[rule] = ResponseFields(self.headers, rule.name,
                                                as_bytes=True).of_one_policy()

    async def __call__(self, scope: _Scope, receive: Callable[[], Awaitable[Any]],
                       send: Callable[[Any], Awaitable[None]]) -> None:
        kind = scope.get("type")
        if kind not in self._checked_types or (self.skip is not None and self.skip(scope)):
            await self.app(scope, receive, send)
            return
        client = scope.get("client")
        peer = None
        if client:
            peer = client[0]
            if peer.__class__ is not str:
                peer = str(peer)
        route = scope.get("root_path", "") + scope.get("path", "")
        if self._only_rule is not None:
            # The common configuration, written out: RequestLimiter.check_only's steps
            # without its call, which costs as much again as the steps themselves.
            rule = self._only_rule
            if not route.isascii():
                route = engine_text(route)
            address = self._known_peers.get(peer) if peer.__class__ is str else None
            if address.__class__ is not str:
                address = self._resolve(peer, _header(scope, self._header_name)
                                        if self._reads_header else None)
            identify = self._only_identity
            result = self._only_check(address, route or "/", None if identify is None
                                      else identity_key(identify(scope)))
            if result.__class__ is not dict and inspect.isawaitable(result):
                result = await result
        else:
            header = _header(scope, self._header_name) if self._reads_header else None
            checked = self.limiter.checks(scope, peer, header, route, scope.get("method"))
            if not checked:
                await self.app(scope, receive, send)
                return
            checked = [(rule, (await result) if inspect.isawaitable(result) else result)
                       for rule, result in checked]
            rule, result = closest_to_refusing(checked)
        if self._refusal_log is not None and result.get("would_block"):
            self._log_refusal(scope, rule, result, route, peer,
                              _header(scope, self._header_name) if self._reads_header else None)
        fields = self._fields[rule](result)
        # A dict's own copy skips the dict() call's argument handling.
        scope = scope.copy() if scope.__class__ is dict else dict(scope)
        scope[RESULT_KEY] = result
        send_with_fields = send
        if fields:
            # Hands back send's awaitable, so no coroutine of its own per message.
            # Unannotated: a nested function's annotations are evaluated on every
            # request that defines it.
            def send_with_fields(message):
                if message.get("type") == "http.response.start":
                    message = message.copy() if message.__class__ is dict else dict(message)
                    message["headers"] = [*message.get("headers", ()), *fields]
                return send(message)
        if not result["allowed"]:
            if kind == "websocket":
                await _refuse_handshake(scope, send, [*_content_headers(), *fields])
            elif self.on_refused is not None:
                await self.on_refused(scope, receive, send_with_fields)
            else:
                body = b"" if scope.get("method") == "HEAD" else REFUSED_BODY
                await send({"type": "http.response.start", "status": 429,
                            "headers": [*_content_headers(), *fields]})
                await send({"type": "http.response.body", "body": body})
            return
        await self.app(scope, receive, send_with_fields if kind == "http" else send)


def _tells_one_policy(rule: Rule) -> bool:
    """Whether `rule` checks with the check_limits of a native engine of one
    policy, whose every result carries that policy's figures."""
    native = sys.modules.get("vorn_native")
    engine = rule.engine
    if native is None or engine.__class__ not in (native.RustEngine, native.ZoneEngine):
        return False
    return rule.check == engine.check_limits and len(engine.policies) == 1


def _content_headers() -> List[Tuple[bytes, bytes]]:
    return [(name.lower().encode("latin-1"), value.encode("latin-1"))
            for name, value in REFUSED_CONTENT_HEADERS]


async def _refuse_handshake(scope: _Scope, send: Callable[[Any], Awaitable[None]],
                            headers: Any) -> None:
    if "websocket.http.response" in (scope.get("extensions") or {}):
        await send({"type": "websocket.http.response.start", "status": 429, "headers": headers})
        await send({"type": "websocket.http.response.body", "body": REFUSED_BODY})
    else:
        await send({"type": "websocket.close", "code": 1008})
