"""WSGI middleware: engine checks per request, rate-limit headers, 429 for a refused one."""
import inspect
from typing import Any, Callable, Iterable, Optional, Sequence, Union

from ._core import REFUSED_BODY, REFUSED_CONTENT_HEADERS, REFUSED_STATUS, RequestLimiter, Rule
from ._core import LimitingMiddleware, closest_to_refusing, engine_text, identity_key
from ._headers import check_header_style
from ._refusal_log import refusal_log_of
from .address import DEFAULT_IPV6_PREFIX

#: Key under which the engine's result dict is left in the WSGI environ.
RESULT_KEY = "vorn.result"


def _environ_key(header: str) -> str:
    return "HTTP_" + header.strip().upper().replace("-", "_")


def _route(environ: Any) -> str:
    # WSGI paths are bytes decoded as latin-1; recover the UTF-8 text.
    script = environ.get("SCRIPT_NAME", "")
    path = environ.get("PATH_INFO", "")
    raw = script + path if script.__class__ is str is path.__class__ else str(script) + str(path)
    if raw.isascii():  # the same text either way
        return raw
    try:
        return raw.encode("latin-1").decode("utf-8", "replace")
    except UnicodeEncodeError:
        return raw


class WSGIMiddleware(LimitingMiddleware):
    """Rate-limits a WSGI application with one engine or a list of rules.

    The key is the client address (REMOTE_ADDR, or the forwarding header when
    REMOTE_ADDR is a trusted proxy), unless `identity(environ)` returns a text,
    which the engine then keys on instead. An IPv6 client is keyed by its
    /`ipv6_prefix` network (see ClientAddressResolver). The route is
    SCRIPT_NAME + PATH_INFO.

    With `rules` (a list of vorn.Rule) instead of `engine`, a request is checked
    against every rule that applies to it and refused if any refuses; the
    headers and environ["vorn.result"] describe the rule closest to refusing.
    `skip(environ)` returning true lets a request through unchecked.
    `log_refusals` (True, or a number of lines a second) writes a line per
    refusal to the logger "vorn" (see vorn._refusal_log).

    Every checked response carries the rate-limit fields of `headers` ("draft",
    "legacy", "x" or None; see vorn._headers). A refused request gets 429 with
    Retry-After and never reaches the application; `on_refused`, a WSGI
    application, answers it instead of the plain 429 when given (the fields are
    added to its answer). In shadow mode every request goes through, with the
    fields of the verdict it would have had. Its settings are read once, when it is
    made (a peer's key is remembered: see ClientAddressResolver). Thread-safe as far
    as the engines are.
    """

    def __init__(self, app: Callable[..., Iterable[bytes]], engine: Any = None, *,
                 rules: Optional[Sequence[Rule]] = None,
                 trusted_proxies: Iterable[str] = (),
                 forwarded_header: str = "X-Forwarded-For",
                 identity: Optional[Callable[[Any], Optional[str]]] = None,
                 ipv6_prefix: int = DEFAULT_IPV6_PREFIX,
                 headers: Optional[str] = "draft",
                 skip: Optional[Callable[[Any], bool]] = None,
                 on_refused: Optional[Callable[..., Iterable[bytes]]] = None,
                 log_refusals: Union[None, bool, int] = None) -> None:
        self.limiter = RequestLimiter(engine, trusted_proxies, forwarded_header, identity,
                                      ipv6_prefix, rules=rules)
        for rule in self.limiter.rules:
            if inspect.iscoroutinefunction(rule.check):
                raise TypeError("WSGIMiddleware needs a blocking engine, such as "
                                "vorn.create_engine(..., redis=...), not an asyncio one")
        self.app = app
        self.headers = check_header_style(headers)
        self.skip = skip
        self.on_refused = on_refused
        self._refusal_log = refusal_log_of(log_refusals)
        self._header_key = _environ_key(forwarded_header)
        self._take_settings(as_bytes=False)

    def __call__(self, environ: Any, start_response: Callable[..., Any]) -> Iterable[bytes]:
        if self.skip is not None and self.skip(environ):
            return self.app(environ, start_response)
        if self._only_rule is not None:
            # The common configuration, written out: RequestLimiter.check_only's steps
            # without its calls, which cost as much again as the steps themselves.
            rule = self._only_rule
            script = environ.get("SCRIPT_NAME", "")
            route = environ.get("PATH_INFO", "")
            if script.__class__ is not str or route.__class__ is not str:
                route = None
            elif script:
                route = script + route
            if route is None or not route.isascii():
                route = engine_text(_route(environ))
            peer = environ.get("REMOTE_ADDR")
            address = self._known_peers.get(peer) if peer.__class__ is str else None
            if address.__class__ is not str:
                address = self._resolve(peer, environ.get(self._header_key)
                                        if self._reads_header else None)
            identify = self._only_identity
            result = self._only_check(address, route or "/", None if identify is None
                                      else identity_key(identify(environ)))
        else:
            header = environ.get(self._header_key) if self._reads_header else None
            checked = self.limiter.checks(environ, environ.get("REMOTE_ADDR"), header,
                                          _route(environ), environ.get("REQUEST_METHOD"))
            if not checked:
                return self.app(environ, start_response)
            rule, result = closest_to_refusing(checked)
        environ[RESULT_KEY] = result
        if self._refusal_log is not None and result.get("would_block"):
            self._log_refusal(environ, rule, result, _route(environ), environ.get("REMOTE_ADDR"),
                              environ.get(self._header_key) if self._reads_header else None)
        fields = self._fields[rule](result)
        allowed = result["allowed"]
        if allowed and not fields:
            return self.app(environ, start_response)

        # Unannotated: a nested function's annotations are built on every request
        # that defines it.
        def start_with_fields(status, headers, exc_info=None):
            if exc_info is None:
                return start_response(status, [*headers, *fields])
            return start_response(status, [*headers, *fields], exc_info)

        if allowed:
            return self.app(environ, start_with_fields)
        if self.on_refused is not None:
            return self.on_refused(environ, start_with_fields)
        start_response(REFUSED_STATUS, [*REFUSED_CONTENT_HEADERS, *fields])
        # A HEAD answer has no body; servers that keep the connection open
        # would otherwise leave it in front of the next response.
        return [] if environ.get("REQUEST_METHOD") == "HEAD" else [REFUSED_BODY]
