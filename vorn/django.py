"""Rate limits for Django, configured from `settings.VORN`:

    MIDDLEWARE = [..., "django.contrib.auth.middleware.AuthenticationMiddleware",
                  "vorn.django.RateLimitMiddleware", ...]
    VORN = {"default": "100/minute", "zone": "api", "trusted_proxies": ["127.0.0.1"]}

    @vorn.django.ratelimit("5/minute", count="failed")
    def login(request): ...

`settings.VORN` takes the options of `vorn.flask.Limiter` ("default", "key",
"headers", "algorithm", "mode", "zone", "zone_dir", "redis", "redis_prefix",
"redis_timeout", "on_error", "trusted_proxies", "forwarded_header",
"ipv6_prefix"), and
"on_refused" (a view, or its dotted path, called as `on_refused(request,
refusal)` to answer a refused request) and "enabled" (False turns every limit
off, as `vorn.django.limiter.enabled = False` does). Key and cost functions take
the request (and run after the middleware before this one, so `request.user` is
there when AuthenticationMiddleware comes first).

A view's limits (`@ratelimit` on a function or a class-based view) are its own:
each counts that view's requests apart from every other view's (keyed by the
view's module and qualified name, or by the `shared` name that views give to
share one count), and works without the middleware. The middleware counts, as
one app-wide allowance, the default limit of every request whose view has no
limit of its own, requests that match no URL included; `@exempt` views have
neither. A refusal is answered 429 with the rate-limit fields and Retry-After
(or by "on_refused", the fields set on its answer); admitted answers carry the
fields. `vorn.django.limiter.reset()` forgets every count. Views run
synchronously (Django's sync views and middleware).
"""
import functools
import inspect
import threading
from typing import Any, Callable, List, Optional

from django.core.signals import setting_changed
from django.http import HttpResponse
from django.urls import Resolver404, resolve
from django.utils.module_loading import import_string

from ._framework import Limit, LimiterCore, Verdict, limiter_options

__all__ = ["RateLimitExceeded", "RateLimitMiddleware", "exempt", "limiter", "ratelimit"]

_LIMITS = "_vorn_limits"
_EXEMPT = "_vorn_exempt"
_OWN_OPTIONS = ("on_refused", "enabled")


class RateLimitExceeded(Exception):
    """What `on_refused` is given: `limit` (the refusing limit's text), `result`
    (the engine's answer) and `fields` (the rate-limit fields and Retry-After)."""

    def __init__(self, verdict: Verdict) -> None:
        super().__init__("Too many requests: the limit is " + verdict.limit.text + ".")
        self.limit = verdict.limit.text
        self.result = verdict.result
        self.fields = verdict.fields


class DjangoLimiter:
    """The project's one limiter, made from settings.VORN when first used and
    again when a test overrides the setting. Thread-safe."""

    def __init__(self) -> None:
        self._core: Optional[LimiterCore] = None
        self._on_refused: Any = None
        self._settings_enabled = True
        self._lock = threading.Lock()
        self.enabled = True

    @property
    def core(self) -> LimiterCore:
        core = self._core
        if core is None:
            with self._lock:
                core = self._core
                if core is None:
                    core = self._core = self._configure()
        return core

    def _configure(self) -> LimiterCore:
        from django.conf import settings

        options = dict(getattr(settings, "VORN", None) or {})
        on_refused = options.pop("on_refused", None)
        self._on_refused = import_string(on_refused) if isinstance(on_refused, str) \
            else on_refused
        self._settings_enabled = bool(options.pop("enabled", True))
        return LimiterCore(**limiter_options("settings.VORN", options))

    def forget_settings(self, **signal: Any) -> None:
        if signal.get("setting") in (None, "VORN"):
            with self._lock:
                self._core = None

    def is_on(self) -> bool:
        core = self.core  # reads the settings
        return self.enabled and self._settings_enabled and core is not None

    def reset(self) -> None:
        """Forgets every count. In a zone or a Redis, that is the counts of the last
        10,000 clients this process checked."""
        for engine, key in self.core.reset():
            engine.reset(key)

    def run(self, request: Any, limits: List[Limit], route_name: str,
            answer: Callable[[], Any]) -> Any:
        """`answer()`, or the refusal, for a request the limits check."""
        if not self.is_on():
            return answer()
        core = self.core
        meta = request.META
        header = meta.get("HTTP_" + core.forwarded_header.upper().replace("-", "_"))
        checks = core.start(limits, request, request.path, route_name,
                            meta.get("REMOTE_ADDR"), header, request.method)
        verdict = core.verdict(checks)
        if verdict is None:
            return answer()
        request.vorn = verdict.result
        response = None
        try:
            response = answer() if verdict.allowed else self._refuse(request, verdict)
            for name, value in verdict.fields:
                response[name] = value
        finally:
            status = 500 if response is None else response.status_code
            for engine, key, cost in verdict.refunds(response, status):
                engine.refund(key, cost)
        return response

    def _refuse(self, request: Any, verdict: Verdict) -> Any:
        if self._on_refused is not None:
            return self._on_refused(request, RateLimitExceeded(verdict))
        return HttpResponse("Too Many Requests\n", status=429,
                            content_type="text/plain; charset=utf-8")


limiter = DjangoLimiter()
setting_changed.connect(limiter.forget_settings)


def _route_name(view: Any) -> str:
    module = getattr(view, "__module__", None)  # None for code run by exec()
    name = getattr(view, "__qualname__", None) or getattr(view, "__name__", repr(view))
    return module + "." + name if module else name


def ratelimit(limit: str, *, key: Optional[Callable[[Any], Optional[str]]] = None,
              methods: Optional[List[str]] = None, cost: Any = 1, count: Any = "all",
              shared: Optional[str] = None) -> Callable[[Any], Any]:
    """A decorator giving a view function or a class-based view the limit text
    `limit`. `key(request)` keys it instead of settings.VORN's "key"; `methods`
    limits it to those methods; `cost` is a number or a function of the request
    giving its weight; `count` is "all", "failed" (responses >= 400),
    "successful" (< 400) or a function of the response telling whether it
    counts; `shared` names a count several views share.
    """
    declared = Limit(limit, key=key, methods=methods, cost=cost, count=count, shared=shared)

    def decorate(view: Any) -> Any:
        if inspect.iscoroutinefunction(view) or getattr(view, "view_is_async", False):
            raise TypeError("vorn.django.ratelimit limits sync views; " + _route_name(view)
                            + " is async")
        limits = view.__dict__.get(_LIMITS)
        if limits is not None:  # limited already: one check of all its limits
            limits.append(declared)
            return view
        limits = [declared]
        name = _route_name(view)
        if isinstance(view, type):
            dispatch = view.dispatch

            @functools.wraps(dispatch)
            def limited_dispatch(self: Any, request: Any, *args: Any, **kwargs: Any) -> Any:
                return limiter.run(request, limits, name,
                                   lambda: dispatch(self, request, *args, **kwargs))
            view.dispatch = limited_dispatch
            setattr(view, _LIMITS, limits)
            return view

        @functools.wraps(view)
        def limited(request: Any, *args: Any, **kwargs: Any) -> Any:
            return limiter.run(request, limits, name, lambda: view(request, *args, **kwargs))
        setattr(limited, _LIMITS, limits)
        return limited
    return decorate


def exempt(view: Any) -> Any:
    """A decorator: the view (function or class) is never limited by default."""
    setattr(view, _EXEMPT, True)
    return view


def _has_own_limits(view: Any) -> bool:
    for owner in (view, getattr(view, "view_class", None)):
        if owner is not None and (getattr(owner, _LIMITS, None) or getattr(owner, _EXEMPT,
                                                                            False)):
            return True
    return False


class RateLimitMiddleware:
    """Counts settings.VORN's "default" limit for every request whose view has no
    limit of its own."""

    def __init__(self, get_response: Callable[[Any], Any]) -> None:
        self.get_response = get_response

    def __call__(self, request: Any) -> Any:
        if not limiter.is_on() or not limiter.core.default:
            return self.get_response(request)
        try:
            view = resolve(request.path_info, getattr(request, "urlconf", None)).func
        except Resolver404:
            view = None
        if view is not None and _has_own_limits(view):
            return self.get_response(request)
        return limiter.run(request, list(limiter.core.default), "default",
                           lambda: self.get_response(request))
