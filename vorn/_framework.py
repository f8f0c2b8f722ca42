"""What the framework forms (vorn.flask, vorn.fastapi, vorn.django) share: limits
declared on routes and as a default, and the decision on one request, with its
fields and what its response gives back.

A limit's engine key is its scope, "\\x1f" and the client: the key function's
identity (see `identity_key`), else the client's canonical address. The scope is
the `shared` name when given, else the route's own name, which each framework
supplies (Flask's endpoint, FastAPI's path template, Django's view), or "default"
for the default limit. So two routes with the same limit text never share counts,
and one route has one count in every worker of a zone or a Redis.

A limit that counts only some responses (`count`) counts every request when it
arrives and gives it back (the engine's `refund`) when its response is not one
that counts: N concurrent requests never get more than the limit through.
"""
import math
import threading
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple

from ._core import SCOPE_SEPARATOR, check_scope, closest_to_refusing, engine_text, identity_key
from ._core import scope_of_text
from ._counts import name_counts
from ._headers import ResponseFields, check_header_style
from ._names import check_names
from ._refusal_log import refusal_log_of
from .address import DEFAULT_IPV6_PREFIX, ClientAddressResolver
from .limits import parse_limit

COUNTS = ("all", "failed", "successful")
DEFAULT_SCOPE = "default"
#: Keys a limiter in a zone or a Redis remembers for `reset`; the oldest go first.
MAX_REMEMBERED_KEYS = 10_000
_WINDOW_ALGORITHMS = ("fixed_window", "sliding_window")

#: `counts(response, status)`: whether a response spends the request's allowance.
Counting = Optional[Callable[[Any, int], bool]]


def _counting(count: Any) -> Counting:
    if count == "all":
        return None
    if count == "failed":
        return lambda response, status: status >= 400
    if count == "successful":
        return lambda response, status: status < 400
    if callable(count) and not isinstance(count, str):
        # No response (the view raised): the request counts.
        return lambda response, status: response is None or bool(count(response))
    raise ValueError("count must be 'all', 'failed', 'successful' or a function of the "
                     "response, not " + repr(count))


def _checked_cost(cost: Any) -> Any:
    if callable(cost):
        return cost
    if isinstance(cost, bool) or not isinstance(cost, (int, float)):
        raise TypeError("cost must be a number or a function of the request, not "
                        + type(cost).__name__)
    if not 0 <= cost < math.inf:
        raise ValueError("cost must be a finite number >= 0, not " + repr(cost))
    return cost


class Limit:
    """One declared limit: its rates, and whose requests it counts and how.

    `scope` is fixed by `shared` (or by the form, "default"), else given by the
    route on each request. Immutable; validated when declared.
    """

    __slots__ = ("text", "rates", "scope", "key", "methods", "cost", "counts", "name")

    def __init__(self, text: str, *, key: Optional[Callable[..., Optional[str]]] = None,
                 methods: Optional[Iterable[str]] = None, cost: Any = 1, count: Any = "all",
                 shared: Optional[str] = None, scope: Optional[str] = None) -> None:
        self.text = text
        self.rates = tuple(parse_limit(text))
        if key is not None and not callable(key):
            raise TypeError("key must be a function of the request, not " + repr(key))
        if isinstance(methods, str):
            raise TypeError("methods must be a list of method names, not one text")
        self.key = key
        self.methods = None if methods is None else frozenset(m.upper() for m in methods)
        self.cost = _checked_cost(cost)
        self.counts = _counting(count)
        if shared is not None:
            if not shared:
                raise TypeError("shared must be a non-empty text")
            scope = check_scope(shared, "shared")
        self.scope = scope
        # Fields name a route's limit by its shared name, else its route, else "default".
        self.name = scope


class EngineStore:
    """The engines of one limiter: one per limit (rates as written), in this
    process, a zone or a Redis, since scopes keep the routes' counts apart.
    Thread-safe."""

    def __init__(self, algorithm: str, mode: str, zone: Optional[str], zone_dir: Any,
                 redis: Any, redis_prefix: str, redis_timeout: float, on_error: str,
                 asynchronous: bool) -> None:
        check_names(algorithm, mode)
        if zone is not None and redis is not None:
            raise TypeError("give a zone or redis, not both")
        self.algorithm = algorithm
        self.mode = mode
        self.zone = zone
        self.zone_dir = zone_dir
        self.redis = redis
        self.redis_prefix = redis_prefix
        self.redis_timeout = redis_timeout
        self.on_error = on_error
        self.asynchronous = asynchronous and redis is not None
        self.remote = zone is not None or redis is not None
        # (rates, the name its counts go under) -> engine
        self._engines: Dict[Tuple[Tuple[Tuple[int, int], ...], str], Any] = {}
        self._lock = threading.Lock()
        self._remembered: Dict[Tuple[Any, str], None] = {}

    def engine(self, limit: Limit, name: str) -> Any:
        """The engine of `limit` counting under `name` (the metrics' limit label)."""
        engine = self._engines.get((limit.rates, name))
        if engine is None:
            with self._lock:
                engine = self._engines.get((limit.rates, name))
                if engine is None:
                    engine = self._make(limit.text)
                    name_counts(engine, name)
                    self._engines[(limit.rates, name)] = engine
        return engine

    def _make(self, text: str) -> Any:
        from . import create_async_engine, create_engine

        redis = self.redis
        if redis is not None and self._engines:
            # One connection pool for all of them.
            redis = next(iter(self._engines.values())).client
        if self.asynchronous:
            return create_async_engine(self.algorithm, self.mode, limit=text, redis=redis,
                                       redis_prefix=self.redis_prefix,
                                 redis_timeout=self.redis_timeout, on_error=self.on_error)
        if redis is not None:
            return create_engine(self.algorithm, self.mode, limit=text, redis=redis,
                                 redis_prefix=self.redis_prefix,
                                 redis_timeout=self.redis_timeout, on_error=self.on_error)
        if self.zone is not None:
            return create_engine(self.algorithm, self.mode, limit=text, zone=self.zone,
                                 zone_dir=self.zone_dir, on_error=self.on_error)
        return create_engine(self.algorithm, self.mode, limit=text)

    def remember(self, engine_key: Any, key: str) -> None:
        if not self.remote:
            return
        remembered = self._remembered
        if (engine_key, key) in remembered:
            return
        with self._lock:
            if len(remembered) >= MAX_REMEMBERED_KEYS:
                del remembered[next(iter(remembered))]
            remembered[(engine_key, key)] = None

    def forget(self) -> List[Tuple[Any, str]]:
        """In process: drops every engine, so the next checks start afresh; in a zone
        or a Redis: the (engine, key) pairs to reset, which it forgets."""
        with self._lock:
            if not self.remote:
                self._engines.clear()
                return []
            pairs = [(self._engines[engine_key], key) for engine_key, key in self._remembered
                     if engine_key in self._engines]
            self._remembered.clear()
            return pairs


class Check:
    """One limit's answer on one request, and what its response may give back."""

    __slots__ = ("limit", "name", "engine", "key", "cost", "result", "route")

    def __init__(self, limit: Limit, name: str, engine: Any, key: str, cost: Any,
                 result: Any, route: str = "/") -> None:
        self.route = route
        self.limit = limit
        self.name = name  # of its policy in the fields
        self.engine = engine
        self.key = key
        self.cost = cost
        self.result = result


class Verdict:
    """The answer on one request: whether it passes, the result of the limit
    closest to refusing, and the fields its response carries (Retry-After too
    when refused)."""

    __slots__ = ("allowed", "result", "fields", "limit", "checks", "chosen")

    def __init__(self, checks: Sequence[Check], fields_of: Callable[[Any], Any]) -> None:
        chosen, result = closest_to_refusing([(check, check.result) for check in checks])
        self.checks = checks
        self.chosen = chosen
        self.limit = chosen.limit
        self.result = result
        self.allowed = bool(result["allowed"])
        self.fields: List[Tuple[str, str]] = list(fields_of(chosen)(result))

    def refunds(self, response: Any, status: int) -> List[Tuple[Any, str, Any]]:
        """(engine, key, cost) of each count the response gives back."""
        refunds = []
        for check in self.checks:
            counts = check.limit.counts
            # A refusal took nothing: there is nothing to give back.
            if (counts is None or check.result.get("would_block") or not check.cost
                    or counts(response, status)):
                continue
            refunds.append((check.engine, check.key, check.cost))
        return refunds


def _call_with_request(function: Callable[..., Any], request: Any) -> Any:
    return function(request)


class LimiterCore:
    """A framework limiter's configuration and its checks of one request.
    Thread-safe as far as its engines are."""

    def __init__(self, *, default: Optional[str], key: Any, headers: Optional[str],
                 algorithm: str, mode: str, zone: Optional[str], zone_dir: Any, redis: Any,
                 redis_prefix: str, redis_timeout: float, on_error: str,
                 trusted_proxies: Iterable[str],
                 forwarded_header: str, ipv6_prefix: int, log_refusals: Any = None,
                 asynchronous: bool = False,
                 call: Callable[[Callable[..., Any], Any], Any] = _call_with_request) -> None:
        self.refusal_log = refusal_log_of(log_refusals)
        if key is not None and not callable(key):
            raise TypeError("key must be a function of the request, not " + repr(key))
        self.key = key
        self.headers = check_header_style(headers)
        self.store = EngineStore(algorithm, mode, zone, zone_dir, redis, redis_prefix,
                                 redis_timeout, on_error, asynchronous)
        self.resolver = ClientAddressResolver(trusted_proxies, forwarded_header, ipv6_prefix)
        self.forwarded_header = forwarded_header
        self.call = call
        self._fields: Dict[str, Any] = {}
        self.default: Tuple[Limit, ...] = ()
        if default is not None:
            self.default = (self.limit(default, scope=DEFAULT_SCOPE),)

    def limit(self, text: str, **options: Any) -> Limit:
        """A Limit of this limiter, its engine made now (so a bad store fails here)."""
        limit = Limit(text, **options)
        cost = limit.cost
        if (self.store.algorithm in _WINDOW_ALGORITHMS and not callable(cost)
                and cost != math.floor(cost)):
            raise ValueError("cost must be whole for " + self.store.algorithm + ", not "
                             + repr(cost))
        if not self.store.asynchronous:  # asyncio engines are made in their loop
            self.store.engine(limit, limit.name or DEFAULT_SCOPE)
        return limit

    def start(self, limits: Sequence[Limit], request: Any, route: str, route_name: str,
              peer: Optional[str], header: Optional[str], method: str) -> List[Check]:
        """Checks every limit that applies to the request; results may be awaitables."""
        checks = []
        address = None
        call = self.call
        for limit in limits:
            if limit.methods is not None and method.upper() not in limit.methods:
                continue
            if address is None:
                address = self.resolver.resolve(peer, header)
                route = engine_text(route) or "/"
            key_function = limit.key or self.key
            client = None if key_function is None else identity_key(call(key_function, request))
            scope = limit.scope if limit.scope is not None else scope_of_text(route_name)
            key = scope + SCOPE_SEPARATOR + (address if client is None else client)
            cost = call(limit.cost, request) if callable(limit.cost) else limit.cost
            name = limit.name or route_name
            engine = self.store.engine(limit, name)
            checks.append(Check(limit, name, engine, key, cost,
                                engine.check_limits(address, route, key, cost=cost), route))
            self.store.remember((limit.rates, name), key)
        return checks

    def verdict(self, checks: Sequence[Check]) -> Optional[Verdict]:
        """The verdict of finished checks (None when no limit applied)."""
        if not checks:
            return None
        verdict = Verdict(checks, lambda check: self._fields_of(check.name))
        if self.refusal_log is not None and verdict.result.get("would_block"):
            chosen = verdict.chosen
            self.refusal_log.refused(chosen.name, chosen.key.partition(SCOPE_SEPARATOR)[2],
                                     chosen.route, verdict.result)
        return verdict

    def _fields_of(self, name: str) -> Callable[[Any], Any]:
        made = self._fields.get(name)
        if made is None:
            policy = name if name and name.isascii() and len(name) <= 200 else DEFAULT_SCOPE
            made = self._fields[name] = ResponseFields(self.headers, policy).fields
        return made

    def reset(self) -> List[Tuple[Any, str]]:
        """Forgets the counts of every limit: in process at once, else the (engine,
        key) pairs the caller resets (awaited for asyncio engines)."""
        return self.store.forget()


def set_fields(headers: Any, fields: Sequence[Tuple[str, str]]) -> None:
    """Sets the fields on a response's headers, in place of any of the same names."""
    for name, value in fields:
        headers[name] = value


#: The options every framework's limiter takes, and their defaults.
LIMITER_OPTIONS: Dict[str, Any] = {
    "default": None, "key": None, "headers": "draft", "algorithm": "token_bucket",
    "mode": "active", "zone": None, "zone_dir": None, "redis": None, "redis_prefix": "vorn:",
    "redis_timeout": 0.05, "on_error": "local", "trusted_proxies": (),
    "forwarded_header": "X-Forwarded-For", "ipv6_prefix": DEFAULT_IPV6_PREFIX,
    "log_refusals": None}


def limiter_options(caller: str, options: Dict[str, Any]) -> Dict[str, Any]:
    """`options` over the defaults, as LimiterCore's keywords; TypeError naming
    every unknown one (a misspelt option would otherwise go unnoticed)."""
    unknown = sorted(set(options) - set(LIMITER_OPTIONS))
    if unknown:
        raise TypeError(caller + ": unknown option" + ("s " if len(unknown) > 1 else " ")
                        + ", ".join(map(repr, unknown)) + "; the options are "
                        + ", ".join(LIMITER_OPTIONS))
    return dict(LIMITER_OPTIONS, **options)
