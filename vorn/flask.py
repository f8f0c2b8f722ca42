"""Rate limits for Flask, declared on views:

    limiter = vorn.flask.Limiter(app, default="100/minute", zone="api")

    @app.post("/login")
    @limiter.limit("5/minute", count="failed")
    def login(): ...

A view's limits are its own: each counts its view's requests apart from every
other view's (keyed by the endpoint, or by the `shared` name that views give to
share one count). The default limit counts, as one app-wide allowance, every
request whose view has no limit of its own, requests that match no view
included; `@limiter.exempt` views have neither. A blueprint takes limits and
exemptions too, for each of its views.

A refused request raises `RateLimitExceeded`, a `werkzeug.exceptions.TooManyRequests`
carrying the rate-limit fields and Retry-After, so `@app.errorhandler(429)`
shapes the answer (the fields are set on whatever it returns); admitted responses
carry the fields too. Key and cost functions take no argument and run inside the
request, so they may read `flask.request`, `flask.g` or `flask_login.current_user`.
`app.config["VORN_ENABLED"] = False` or `limiter.enabled = False` turns every
limit off (for tests); `limiter.reset()` forgets every count the limiter holds.
"""
from typing import Any, Callable, Dict, List, Optional, Set

from flask import Blueprint, Flask, current_app, request
from werkzeug.exceptions import HTTPException, TooManyRequests

from ._framework import Limit, LimiterCore, Verdict, limiter_options, set_fields

__all__ = ["Limiter", "RateLimitExceeded"]

#: Where a request's verdict waits for its response, in the WSGI environ.
VERDICT_KEY = "vorn.verdict"
RESULT_KEY = "vorn.result"


class RateLimitExceeded(TooManyRequests):
    """429 for a request a limit refused: `limit` (its text), `result` (the
    engine's answer) and `fields` (the rate-limit fields and Retry-After, which
    the default answer carries)."""

    def __init__(self, verdict: Verdict) -> None:
        super().__init__("Too many requests: the limit is " + verdict.limit.text + ".")
        self.limit = verdict.limit.text
        self.result = verdict.result
        self.fields = verdict.fields
        self.retry_after = next((int(value) for name, value in verdict.fields
                                 if name == "Retry-After"), None)

    def get_headers(self, *args: Any, **kwargs: Any) -> List[Any]:
        return [*HTTPException.get_headers(self, *args, **kwargs), *self.fields]


def _call_bare(function: Callable[[], Any], request: Any) -> Any:
    return function()


class Limiter:
    """Flask's rate limiter: `Limiter(app, ...)` or `Limiter(...)` then
    `init_app(app)`; its state is `app.extensions["vorn"]`.

    `default` is a limit text for the views without limits of their own; `key()`
    the default key of every limit (a text to count by, or None for the client's
    address); `headers` the field style ("draft", "legacy", "x" or None);
    `algorithm` and `mode` as `vorn.create_engine` takes them; `zone` (one count
    across the workers of this machine) or `redis` (a URL or a blocking redis-py
    client: one count across machines), with `zone_dir`, `redis_prefix`,
    `redis_timeout` and `on_error`; `trusted_proxies`, `forwarded_header` and
    `ipv6_prefix` as the WSGI middleware takes them. Thread-safe.
    """

    def __init__(self, app: Optional[Flask] = None, *, default: Optional[str] = None,
                 zone: Optional[str] = None, redis: Any = None,
                 key: Optional[Callable[[], Optional[str]]] = None,
                 headers: Optional[str] = "draft", **options: Any) -> None:
        options.update(default=default, zone=zone, redis=redis, key=key, headers=headers)
        self._core = LimiterCore(**limiter_options("vorn.flask.Limiter()", options),
                                 call=_call_bare)
        self._header_key = "HTTP_" + self._core.forwarded_header.upper().replace("-", "_")
        self._views: Dict[Any, List[Limit]] = {}
        self._blueprints: Dict[str, List[Limit]] = {}
        self._exempt: Set[Any] = set()
        self._exempt_blueprints: Set[str] = set()
        self.enabled = True
        if app is not None:
            self.init_app(app)

    def init_app(self, app: Flask) -> None:
        app.extensions["vorn"] = self
        app.before_request(self._check)
        app.after_request(self._answer)

    def limit(self, limit: str, *, key: Optional[Callable[[], Optional[str]]] = None,
              methods: Optional[List[str]] = None, cost: Any = 1, count: Any = "all",
              shared: Optional[str] = None) -> Callable[[Any], Any]:
        """A decorator giving a view (or a blueprint's views) the limit text `limit`.

        `key()` keys it instead of the limiter's; `methods` limits it to those
        methods; `cost` is a number or a function (no argument) giving each
        request's weight; `count` is "all", "failed" (responses >= 400),
        "successful" (< 400) or a function of the response telling whether it
        counts; `shared` names a count several views share.
        """
        declared = self._core.limit(limit, key=key, methods=methods, cost=cost, count=count,
                                    shared=shared)

        def decorate(view: Any) -> Any:
            if isinstance(view, Blueprint):
                self._blueprints.setdefault(view.name, []).append(declared)
            else:
                self._views.setdefault(view, []).append(declared)
            return view
        return decorate

    def exempt(self, view: Any) -> Any:
        """A decorator: the view (or blueprint) is never limited, not even by default."""
        if isinstance(view, Blueprint):
            self._exempt_blueprints.add(view.name)
        else:
            self._exempt.add(view)
        return view

    def reset(self) -> None:
        """Forgets every count of this limiter's limits. In a zone or a Redis, that
        is the counts of the last 10,000 clients it checked in this process."""
        for engine, key in self._core.reset():
            engine.reset(key)

    def _limits_of(self, req: Any) -> Optional[List[Limit]]:
        endpoint = req.endpoint
        if endpoint is None:
            return list(self._core.default)
        view = current_app.view_functions.get(endpoint)
        # A class-based view's limits are its class's.
        owner = getattr(view, "view_class", view)
        if view in self._exempt or owner in self._exempt:
            return None
        limits = self._views.get(view) or self._views.get(owner)
        blueprints = req.blueprints
        if self._exempt_blueprints and any(b in self._exempt_blueprints for b in blueprints):
            return None
        if self._blueprints:
            for name in blueprints:
                limits = (limits or []) + self._blueprints.get(name, [])
        return limits or list(self._core.default)

    def _check(self) -> None:
        if not self.enabled or not current_app.config.get("VORN_ENABLED", True):
            return
        # The request itself, not its proxy: each read through the proxy costs a lookup.
        req = request._get_current_object()  # type: ignore[attr-defined]
        limits = self._limits_of(req)
        if not limits:
            return
        environ = req.environ
        checks = self._core.start(limits, None, req.path, req.endpoint or "",
                                  environ.get("REMOTE_ADDR"), environ.get(self._header_key),
                                  req.method)
        verdict = self._core.verdict(checks)
        if verdict is None:
            return
        environ[VERDICT_KEY] = verdict
        environ[RESULT_KEY] = verdict.result
        if not verdict.allowed:
            raise RateLimitExceeded(verdict)

    def _answer(self, response: Any) -> Any:
        verdict = request.environ.get(VERDICT_KEY)
        if verdict is None:
            return response
        set_fields(response.headers, verdict.fields)
        for engine, key, cost in verdict.refunds(response, response.status_code):
            engine.refund(key, cost)
        return response
