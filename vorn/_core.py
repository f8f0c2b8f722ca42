"""What the WSGI and ASGI middlewares share: rules, keying a request, the 429 answer."""
import hashlib
import math
import re
from typing import Any, Callable, Iterable, List, Optional, Pattern, Sequence, Tuple, Union

from ._counts import name_counts
from ._headers import DEFAULT_POLICY_NAME, ResponseFields
from .address import DEFAULT_IPV6_PREFIX, ClientAddressResolver

#: Status line and body of the answer to a refused request.
REFUSED_STATUS = "429 Too Many Requests"
REFUSED_BODY = b"Too Many Requests\n"

#: Longer identities are keyed by their digest, so no request sets the key's size.
MAX_IDENTITY_BYTES = 256


def engine_text(text: str) -> str:
    """Text the engine accepts: lone surrogates (from undecodable bytes) become '?'."""
    if text.isascii():  # nearly every route: nothing to replace, nothing to encode
        return text
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return text.encode("utf-8", "replace").decode("utf-8")


def identity_key(identity: Any) -> Optional[str]:
    """The limiter key of what an identity function returned, or None for none.

    Identity keys never equal an address key ("id:" or "id#" before them), so an
    identity a client controls cannot spend an address's allowance; an empty
    identity is none. Anything but a str or None raises TypeError.
    """
    if identity is None or identity == "":
        return None
    if not isinstance(identity, str):
        raise TypeError("identity must return a str or None, not " + type(identity).__name__)
    # A code point is at least one UTF-8 byte: only short texts need encoding.
    if len(identity) <= MAX_IDENTITY_BYTES:
        text = engine_text(identity)
        if len(text.encode("utf-8")) <= MAX_IDENTITY_BYTES:
            return "id:" + text
    data = identity.encode("utf-8", "replace")
    return "id#sha256:" + hashlib.sha256(data).hexdigest()


class Rule:
    """One limit of a middleware: an engine, the requests it applies to, and their key.

    `path` is None (every request), a text prefix of whole segments ("/login"
    matches "/login", "/login/" and "/login/x", never "/login-help"; a trailing
    slash changes nothing; "/" matches everything; case counts, as it does for
    WSGI and ASGI routers), or a compiled regular expression matched at the
    start of the route; `methods` is None (every method) or the method names it
    applies to; `identity`, when given, keys this rule's requests instead of the
    middleware's identity function; `name` names the policy in the rate-limit
    headers. Each rule keys its engine apart (see `scope`), so two rules on one
    zone or one Redis never spend each other's counts. `engine` is anything
    with `check(ip, route, identity=None)`, better with `check_limits` of the
    same arguments (the engines of this package), which tells the limit figures
    the headers carry. Immutable; thread-safe as far as the engine is.
    """

    def __init__(self, engine: Any, *, path: Union[None, str, Pattern[str]] = None,
                 methods: Optional[Iterable[str]] = None,
                 identity: Optional[Callable[[Any], Optional[str]]] = None,
                 name: Optional[str] = None) -> None:
        if not callable(getattr(engine, "check", None)):
            raise TypeError("engine must have a check(ip, route, identity=None) method")
        if path is not None and not isinstance(path, (str, re.Pattern)):
            raise TypeError("path must be a text prefix or a compiled pattern")
        if isinstance(methods, str):
            raise TypeError("methods must be a list of method names, not one text")
        if identity is not None and not callable(identity):
            raise TypeError("identity must be a function of the request")
        if name is not None and (not isinstance(name, str) or not name):
            raise TypeError("name must be a non-empty text")
        self.engine = engine
        self.path = path
        listed = None if methods is None else tuple(m.upper() for m in methods)
        self.methods = None if listed is None else frozenset(listed)
        self.identity = identity
        self.name = DEFAULT_POLICY_NAME if name is None else name
        if name is not None:
            name_counts(engine, name)  # the metrics tell the rule's checks by its name
        # The key's prefix: a rule's count is its own even where its engine's limit
        # is another rule's too, in a zone or a Redis.
        if name is not None:
            scope = name
        else:
            scope = "" if path is None else path if isinstance(path, str) else path.pattern
            if listed:
                scope += " " + ",".join(listed)
        self.scope = check_scope(scope, "a rule's name") if name is not None \
            else scope_of_text(scope)
        self._prefix = path.rstrip("/") if isinstance(path, str) else None
        told = getattr(engine, "check_limits", None)
        self.check = told if callable(told) else engine.check
        self.applies_always = self.methods is None and path is None

    def applies(self, method: Optional[str], route: str) -> bool:
        if self.methods is not None and (method or "").upper() not in self.methods:
            return False
        if self.path is None:
            return True
        prefix = self._prefix
        if prefix is not None:
            # Whole segments only: "/login" is not a prefix of "/login-help".
            return (not prefix or route.startswith(prefix)
                    and (len(route) == len(prefix) or route[len(prefix)] == "/"))
        return self.path.match(route) is not None


#: Between a limit's scope and the client in the keys of its engine.
SCOPE_SEPARATOR = "\x1f"
MAX_SCOPE_BYTES = 200


def scope_of_text(text: str) -> str:
    """The scope of a route's or a rule's own text: the text, or its digest when
    it cannot be one (longer than 200 UTF-8 bytes, or holding the separator)."""
    if SCOPE_SEPARATOR not in text and (len(text) <= MAX_SCOPE_BYTES // 3 or len(
            engine_text(text).encode("utf-8")) <= MAX_SCOPE_BYTES):
        return text
    return "#sha256:" + hashlib.sha256(text.encode("utf-8", "replace")).hexdigest()


def check_scope(scope: str, what: str) -> str:
    """`scope` when it can prefix engine keys; TypeError naming `what` otherwise."""
    if not isinstance(scope, str):
        raise TypeError(what + " must be a text, not " + type(scope).__name__)
    if SCOPE_SEPARATOR in scope or len(engine_text(scope).encode("utf-8")) > MAX_SCOPE_BYTES:
        raise TypeError(what + " must be at most 200 UTF-8 bytes and hold no \\x1f, not "
                        + repr(scope if len(scope) <= 60 else scope[:60] + "..."))
    return scope


def _closeness(checked: Tuple[Rule, Any]) -> Tuple[int, float]:
    """Orders checks from the closest to refusing: refusals first (the longest
    wait first), then shadow refusals, then the fewest requests left."""
    result = checked[1]
    if result.get("would_block"):
        wait = result.get("retry_after_ms")
        return (0 if not result["allowed"] else 1, -(math.inf if wait is None else wait))
    remaining = result.get("remaining", result.get("decision", {}).get("remaining"))
    return (2, math.inf if remaining is None else remaining)


def closest_to_refusing(checked: Sequence[Tuple[Rule, Any]]) -> Tuple[Rule, Any]:
    """The (rule, result) that decides the answer and the headers."""
    return checked[0] if len(checked) == 1 else min(checked, key=_closeness)


class RequestLimiter:
    """Asks the engines of its rules about each request: key, route and identity.

    Holds no state of its own besides its configuration; thread-safe as far as
    the engines are.
    """

    def __init__(self, engine: Any = None, trusted_proxies: Iterable[str] = (),
                 forwarded_header: str = "X-Forwarded-For",
                 identity: Optional[Callable[[Any], Optional[str]]] = None,
                 ipv6_prefix: int = DEFAULT_IPV6_PREFIX, *,
                 rules: Optional[Sequence[Rule]] = None) -> None:
        if (engine is None) == (rules is None):
            raise TypeError("give either an engine or a list of rules")
        if identity is not None and not callable(identity):
            raise TypeError("identity must be a function of the request")
        if rules is None:
            self.rules: Tuple[Rule, ...] = (Rule(engine),)
        else:
            self.rules = tuple(rules)
            if not self.rules or not all(isinstance(rule, Rule) for rule in self.rules):
                raise TypeError("rules must be a non-empty list of vorn.Rule")
        self.engine = self.rules[0].engine
        self.resolver = ClientAddressResolver(trusted_proxies, forwarded_header, ipv6_prefix)
        self.identity = identity
        # The common configuration, one rule for every request, takes a shorter way.
        only = self.rules[0]
        # (Rules key by their scopes: only the engine form keeps unscoped keys.)
        self.only_rule = only if rules is None else None
        self._only_check = only.check
        self._only_identity = only.identity if only.identity is not None else identity
        self._resolve = self.resolver.resolve
        # The resolver's keys of untrusted peers, looked up here first to save it a call.
        self._known_peers = self.resolver._known

    def checks(self, request: Any, peer: Optional[str], header: Optional[str], route: str,
               method: Optional[str] = None) -> List[Tuple[Rule, Any]]:
        """Runs every rule that applies; the results may be awaitables (asyncio engines)."""
        if self.only_rule is not None:
            return [(self.only_rule, self.check_only(request, peer, header, route))]
        route = engine_text(route) or "/"
        applying = [rule for rule in self.rules if rule.applies(method, route)]
        if not applying:
            return []
        address = self.resolver.resolve(peer, header)
        default_identity: Any = _UNSET
        checked = []
        for rule in applying:
            if rule.identity is not None:
                identity = identity_key(rule.identity(request))
            else:
                if default_identity is _UNSET:
                    default_identity = (identity_key(self.identity(request))
                                        if self.identity is not None else None)
                identity = default_identity
            key = rule.scope + SCOPE_SEPARATOR + (address if identity is None else identity)
            checked.append((rule, rule.check(address, route, key)))
        return checked

    def check_only(self, request: Any, peer: Optional[str], header: Optional[str],
                   route: str) -> Any:
        """`checks` when `only_rule` is set (one rule for every request): its result."""
        if not route.isascii():
            route = engine_text(route)
        address = self._known_peers.get(peer) if peer.__class__ is str else None
        if address.__class__ is not str:
            address = self._resolve(peer, header)
        identify = self._only_identity
        identity = None if identify is None else identity_key(identify(request))
        return self._only_check(address, route or "/", identity)


_UNSET = object()

#: Headers of the plain 429 answer, before the rate-limit fields.
REFUSED_CONTENT_HEADERS = [("Content-Type", "text/plain; charset=utf-8"),
                           ("Content-Length", str(len(REFUSED_BODY)))]


class LimitingMiddleware:
    """What the WSGI and ASGI middlewares share: the settings every request reads,
    copied once from their limiter (whose configuration is fixed) into plain
    attributes, since each attribute hop is paid on every request."""

    limiter: RequestLimiter
    headers: str
    _refusal_log: Any = None

    def _log_refusal(self, request: Any, rule: "Rule", result: Any, route: str,
                     peer: Optional[str], header: Optional[str]) -> None:
        """Writes the refusal log's line of a refused request (or one shadow mode
        would have refused)."""
        identify = rule.identity if rule.identity is not None else self.limiter.identity
        identity = identity_key(identify(request)) if identify is not None else None
        key = identity if identity is not None else self.limiter.resolver.resolve(peer, header)
        self._refusal_log.refused(rule.name, key, route, result)

    def _take_settings(self, as_bytes: bool) -> None:
        limiter = self.limiter
        self._reads_header = limiter.resolver.reads_header
        self._only_rule = limiter.only_rule
        self._only_check = limiter._only_check
        self._only_identity = limiter._only_identity
        self._resolve = limiter._resolve
        self._known_peers = limiter._known_peers
        self._fields = {rule: ResponseFields(self.headers, rule.name, as_bytes=as_bytes).fields
                        for rule in limiter.rules}
