"""Rate limits for FastAPI (and the default limit for Starlette), as dependencies:

    limiter = vorn.fastapi.Limiter(app, default="100/minute", redis="redis://...")

    @app.post("/login", dependencies=[Depends(limiter.limit("5/minute", count="failed"))])
    async def login(): ...

A route's limits are its own: each counts its route's requests apart from every
other route's (keyed by the route's path template, "/items/{item_id}", or by
the `shared` name that routes give to share one count). A limit on a router
(`APIRouter(dependencies=[...])`) is each of its routes' own. The default limit
counts, as one app-wide allowance, every request whose route has no limit of
its own, requests that match no route included; routes decorated with
`@limiter.exempt` have neither.

A refused request raises `RateLimitExceeded`, an `HTTPException(429)` carrying
the rate-limit fields and Retry-After, which the app's exception handlers
answer (`@app.exception_handler(429)` shapes it; a refusal by the default limit
goes to the same handlers). Every checked response carries the fields. With
`redis`, the limits run on `vorn.create_async_engine`'s asyncio engines, awaited
in the request's own loop. `limiter.enabled = False` turns every limit off
(for tests); `await limiter.reset()` forgets every count the limiter holds.

The ASGI middleware that `Limiter(app)` or `limiter.init_app(app)` adds counts
the default limit (404s included), sets the fields on every answer and gives
back what `count` says to. Without it, `FastAPI(dependencies=[Depends(
limiter.default)])` counts the default limit on the routes, the dependencies
set the fields on the answers of endpoints that return data rather than a
Response, and a limit with `count` fails (RuntimeError).
"""
import inspect
from typing import Any, Callable, Dict, List, Optional, Set

from fastapi import HTTPException, Request
from fastapi import Response as FastAPIResponse
from starlette.concurrency import run_in_threadpool
from starlette.routing import Match

from ._framework import Check, Limit, LimiterCore, Verdict, limiter_options

__all__ = ["Limiter", "RateLimitExceeded"]

#: Where a request's checks wait for its response, in the ASGI scope (and the
#: limiter's id after it).
STATE_KEY = "vorn.checks"
RESULT_KEY = "vorn.result"


class RateLimitExceeded(HTTPException):
    """429 for a request a limit refused: `limit` (its text), `result` (the
    engine's answer) and `fields` (the rate-limit fields and Retry-After, also
    its `headers`)."""

    def __init__(self, verdict: Verdict) -> None:
        super().__init__(429, "Too many requests: the limit is " + verdict.limit.text + ".",
                         headers=dict(verdict.fields))
        self.limit = verdict.limit.text
        self.result = verdict.result
        self.fields = verdict.fields


class Response:
    """What a `count` function is given: the answer's status and headers (lower-case
    names, text values)."""

    __slots__ = ("status_code", "headers")

    def __init__(self, status_code: int, headers: Dict[str, str]) -> None:
        self.status_code = status_code
        self.headers = headers


class RouteLimit:
    """One limit as a dependency: `Depends(limiter.limit("5/minute"))`."""

    def __init__(self, limiter: "Limiter", limit: Limit) -> None:
        self.limiter = limiter
        self.limit = limit

    async def __call__(self, request: Request, response: FastAPIResponse) -> None:
        route = request.scope.get("route")
        route_name = getattr(route, "path", None) or request.url.path
        await self.limiter._depend(request, response, [self.limit], route_name)


class DefaultLimit:
    """The default limit as a dependency of the app or a router, for a limiter
    without its middleware: `FastAPI(dependencies=[Depends(limiter.default)])`.
    It counts the requests of the routes without a limit of their own."""

    def __init__(self, limiter: "Limiter") -> None:
        self.limiter = limiter

    async def __call__(self, request: Request, response: FastAPIResponse) -> None:
        limiter = self.limiter
        route = request.scope.get("route")
        if limiter._core.default and (route is None or not limiter._has_own_limit(route)):
            await limiter._depend(request, response, list(limiter._core.default), "default",
                                  default=True)


class _RequestChecks(List[Check]):
    """The checks of one request, as its limits run; `attached` when the limiter's
    middleware made it (and sets the fields and gives back counts)."""

    def __init__(self, attached: bool) -> None:
        super().__init__()
        self.attached = attached
        self.default_checked = False


class Limiter:
    """FastAPI's rate limiter. `default` is a limit text for the routes without
    limits of their own; `key(request)` the default key of every limit (a text
    to count by, or None for the client's address); `headers` the field style
    ("draft", "legacy", "x" or None); `algorithm` and `mode` as
    `vorn.create_engine` takes them; `zone` (one count across the workers of
    this machine) or `redis` (a URL or a `redis.asyncio` client: one count
    across machines), with `zone_dir`, `redis_prefix`, `redis_timeout` and
    `on_error`; `trusted_proxies`, `forwarded_header` and `ipv6_prefix` as the
    ASGI middleware takes them (see its notes on proxies: uvicorn rewrites the
    client address from X-Forwarded-For before vorn sees it).
    """

    def __init__(self, app: Any = None, *, default: Optional[str] = None,
                 zone: Optional[str] = None, redis: Any = None,
                 key: Optional[Callable[[Any], Optional[str]]] = None,
                 headers: Optional[str] = "draft", **options: Any) -> None:
        options.update(default=default, zone=zone, redis=redis, key=key, headers=headers)
        self._core = LimiterCore(**limiter_options("vorn.fastapi.Limiter()", options),
                                 asynchronous=True)
        self._header_name = self._core.forwarded_header.lower().encode("latin-1")
        self._exempt: Set[Any] = set()
        self._limited_routes: Dict[int, bool] = {}
        # Each limiter's checks of a request have a place of their own in its scope.
        self._state_key = STATE_KEY + "." + hex(id(self))
        self.default = DefaultLimit(self)
        self.enabled = True
        if app is not None:
            self.init_app(app)

    def init_app(self, app: Any) -> None:
        """Adds the limiter's middleware to `app` (before it starts serving)."""
        app.add_middleware(_LimiterMiddleware, limiter=self, app_routes=app)

    def limit(self, limit: str, *, key: Optional[Callable[[Any], Optional[str]]] = None,
              methods: Optional[List[str]] = None, cost: Any = 1, count: Any = "all",
              shared: Optional[str] = None) -> RouteLimit:
        """A dependency giving a route (or a router's routes) the limit text `limit`.

        `key(request)` keys it instead of the limiter's; `methods` limits it to
        those methods; `cost` is a number or a function of the request giving its
        weight; `count` is "all", "failed" (responses >= 400), "successful"
        (< 400) or a function of a `Response` (status_code, headers) telling
        whether it counts; `shared` names a count several routes share.
        """
        return RouteLimit(self, self._core.limit(limit, key=key, methods=methods, cost=cost,
                                                 count=count, shared=shared))

    def exempt(self, endpoint: Any) -> Any:
        """A decorator: the endpoint is never limited by default."""
        self._exempt.add(endpoint)
        return endpoint

    async def reset(self) -> None:
        """Forgets every count of this limiter's limits. In a zone or a Redis, that
        is the counts of the last 10,000 clients it checked in this process."""
        for engine, key in self._core.reset():
            done = engine.reset(key)
            if inspect.isawaitable(done):
                await done

    async def _depend(self, request: Any, response: Any, limits: List[Limit], route_name: str,
                      default: bool = False) -> None:
        if not self.enabled:
            return
        scope = request.scope
        checks = scope.get(self._state_key)
        if checks is None:
            if any(limit.counts is not None for limit in limits):
                raise RuntimeError("vorn.fastapi: a limit with count= needs the limiter's "
                                   "middleware: make it with Limiter(app) or call "
                                   "limiter.init_app(app)")
            checks = scope[self._state_key] = _RequestChecks(attached=False)
        if default:
            if checks.default_checked:
                return
            checks.default_checked = True
        await self._check(request, limits, route_name, checks)
        if not checks.attached:
            verdict = self._core.verdict(checks)
            if verdict is not None:
                for name, value in verdict.fields:
                    response.headers[name] = value

    async def _check(self, request: Any, limits: List[Limit], route_name: str,
                     checks: _RequestChecks) -> None:
        scope = request.scope
        client = scope.get("client")
        peer = str(client[0]) if client else None
        header = None
        if self._core.resolver.reads_header:
            values = [v.decode("latin-1") for k, v in scope.get("headers", ())
                      if k.lower() == self._header_name]
            header = ",".join(values) if values else None
        started = self._core.start(limits, request, scope.get("root_path", "")
                                   + scope.get("path", ""), route_name, peer, header,
                                   scope.get("method", "GET"))
        for check in started:
            if inspect.isawaitable(check.result):
                check.result = await check.result
        checks.extend(started)
        verdict = self._core.verdict(checks)
        if verdict is not None:
            scope[RESULT_KEY] = verdict.result
            if not verdict.allowed:
                raise RateLimitExceeded(verdict)

    def _has_own_limit(self, route: Any) -> bool:
        known = self._limited_routes.get(id(route))
        if known is None:
            known = self._limited_routes[id(route)] = (
                getattr(route, "endpoint", None) in self._exempt
                or _depends_on_limit(getattr(route, "dependant", None), self))
        return known


def _depends_on_limit(dependant: Any, limiter: Limiter) -> bool:
    if dependant is None:
        return False
    for dependency in dependant.dependencies:
        call = dependency.call
        if isinstance(call, RouteLimit) and call.limiter is limiter:
            return True
        if _depends_on_limit(dependency, limiter):
            return True
    return False


class _LimiterMiddleware:
    """Checks the default limit, sets the fields on every checked answer and gives
    back the counts its status does not spend."""

    def __init__(self, app: Any, limiter: Limiter, app_routes: Any) -> None:
        self.app = app
        self.limiter = limiter
        self.routes = app_routes

    async def __call__(self, scope: Dict[str, Any], receive: Any, send: Any) -> None:
        limiter = self.limiter
        if scope["type"] != "http" or not limiter.enabled:
            await self.app(scope, receive, send)
            return
        checks = _RequestChecks(attached=True)
        scope[limiter._state_key] = checks
        status = 500  # unless an answer starts
        sent: Dict[str, Any] = {}

        async def send_with_fields(message: Any) -> None:
            nonlocal status
            if message["type"] == "http.response.start" and checks:
                status = message["status"]
                verdict = limiter._core.verdict(checks)
                if verdict is not None:
                    names = {name.lower().encode("latin-1") for name, _ in verdict.fields}
                    headers = [(k, v) for k, v in message.get("headers", ()) if k.lower()
                               not in names]
                    headers += [(n.lower().encode("latin-1"), v.encode("latin-1"))
                                for n, v in verdict.fields]
                    message = dict(message, headers=headers)
                    sent["verdict"] = verdict
                    sent["headers"] = headers
            await send(message)

        try:
            if limiter._core.default and not self._own_limit(scope):
                checks.default_checked = True
                try:
                    await limiter._check(Request(scope, receive), list(limiter._core.default),
                                         "default", checks)
                except RateLimitExceeded as refusal:
                    await self._refuse(scope, receive, send_with_fields, refusal)
                    return
            await self.app(scope, receive, send_with_fields)
        finally:
            verdict = sent.get("verdict") or limiter._core.verdict(checks)
            if verdict is not None:
                response = Response(status, {k.decode("latin-1").lower(): v.decode("latin-1")
                                             for k, v in sent.get("headers", ())})
                for engine, key, cost in verdict.refunds(response, status):
                    done = engine.refund(key, cost)
                    if inspect.isawaitable(done):
                        await done

    def _own_limit(self, scope: Dict[str, Any]) -> bool:
        for route in getattr(self.routes, "routes", ()):
            match, _ = route.matches(scope)
            if match == Match.FULL:
                return self.limiter._has_own_limit(route)
        return False

    async def _refuse(self, scope: Dict[str, Any], receive: Any, send: Any,
                      refusal: RateLimitExceeded) -> None:
        # The app's own handlers answer, as they answer a route's refusal.
        handlers = getattr(self.routes, "exception_handlers", {}) or {}
        handler = handlers.get(429)
        if handler is None:
            handler = next((handlers[kind] for kind in type(refusal).__mro__
                            if kind in handlers), None)
        request = Request(scope, receive)
        if handler is None:
            from starlette.responses import PlainTextResponse

            answer: Any = PlainTextResponse("Too Many Requests\n", 429)
        elif inspect.iscoroutinefunction(handler):
            answer = await handler(request, refusal)
        else:
            answer = await run_in_threadpool(handler, request, refusal)
        await answer(scope, receive, send)
