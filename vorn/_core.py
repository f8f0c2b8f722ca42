"""What the WSGI and ASGI middlewares share: keying a request and the 429 answer."""
import hashlib
from typing import Any, Callable, Iterable, List, Optional, Tuple

from .address import DEFAULT_IPV6_PREFIX, ClientAddressResolver

#: Status line and body of the answer to a refused request.
REFUSED_STATUS = "429 Too Many Requests"
REFUSED_BODY = b"Too Many Requests\n"

#: Longer identities are keyed by their digest, so no request sets the key's size.
MAX_IDENTITY_BYTES = 256


def engine_text(text: str) -> str:
    """Text the engine accepts: lone surrogates (from undecodable bytes) become '?'."""
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


class RequestLimiter:
    """Asks one engine about each request: key, route and optional identity.

    `engine` is anything with `check(ip, route, identity=None)` returning the
    engine's result dict (normally a `vorn_native.RustEngine`). Holds no state
    of its own besides its configuration; thread-safe as far as the engine is.
    """

    def __init__(self, engine: Any, trusted_proxies: Iterable[str] = (),
                 forwarded_header: str = "X-Forwarded-For",
                 identity: Optional[Callable[[Any], Optional[str]]] = None,
                 ipv6_prefix: int = DEFAULT_IPV6_PREFIX) -> None:
        if not callable(getattr(engine, "check", None)):
            raise TypeError("engine must have a check(ip, route, identity=None) method")
        self.engine = engine
        self.resolver = ClientAddressResolver(trusted_proxies, forwarded_header, ipv6_prefix)
        self.identity = identity

    def check(self, request: Any, peer: Optional[str], header: Optional[str], route: str) -> Any:
        """Runs the check for one request; `request` is what the identity function gets."""
        key = self.resolver.resolve(peer, header)
        identity = identity_key(self.identity(request)) if self.identity is not None else None
        return self.engine.check(key, engine_text(route) or "/", identity)


def refused_headers(result: Any) -> List[Tuple[str, str]]:
    """Headers of the 429 answer; RateLimit-Remaining comes from the decision's `remaining`."""
    headers = [("Content-Type", "text/plain; charset=utf-8"),
               ("Content-Length", str(len(REFUSED_BODY)))]
    remaining = result.get("decision", {}).get("remaining")
    if remaining is not None:
        headers.append(("RateLimit-Remaining", str(remaining)))
    return headers
