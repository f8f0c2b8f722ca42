"""The rate-limit headers a checked response carries, and Retry-After.

A result that tells its limit (from an engine's `check_limits`) gives, in the
chosen style:

- "draft" (the default): `RateLimit-Policy: "<name>";q=<limit>;w=<window s>`
  and `RateLimit: "<name>";r=<remaining>;t=<reset s>`, the fields of the HTTP
  working group's current draft on rate-limit headers;
- "legacy": `RateLimit-Limit`, `RateLimit-Remaining`, `RateLimit-Reset`, the
  draft's earlier separate fields;
- "x": `X-RateLimit-Limit`, `X-RateLimit-Remaining`, `X-RateLimit-Reset`;
- "none": no rate-limit fields.

Reset times are seconds from now until the whole allowance is back, rounded up.
A result from an engine without `check_limits` tells only that a refused
request has none left.
"""
import functools
from typing import Any, Dict, List, Optional, Sequence, Tuple

HEADER_STYLES = ("draft", "legacy", "x", "none")
DEFAULT_POLICY_NAME = "default"
#: Retry-After for a refusal that no wait will lift (an allowance that never refills).
NEVER_RETRY_SECONDS = 60

_Headers = List[Tuple[str, str]]

#: Pairs of fields a ResponseFields keeps before it forgets them all and starts again.
MAX_KEPT_FIELDS = 4096


def check_header_style(style: Optional[str]) -> str:
    """The style named by `style` (None is "none"); ValueError for an unknown one."""
    if style is None:
        return "none"
    if not isinstance(style, str) or style not in HEADER_STYLES:
        raise ValueError("headers must be one of " + ", ".join(HEADER_STYLES)
                         + ", or None; not " + repr(style))
    return style


def _seconds(ms: int) -> int:
    return -(-ms // 1000)


@functools.lru_cache(maxsize=256)
def _quoted(name: str) -> str:
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


# An engine's policy field is the same on every answer: made once.
@functools.lru_cache(maxsize=256)
def _policy_field(name: str, limit: int, window_ms: Optional[int]) -> str:
    field = name + ";q=" + str(limit)
    if window_ms is not None:
        field += ";w=" + str(max(1, _seconds(window_ms)))
    return field


def limit_headers(result: Any, style: str, policy_name: str = DEFAULT_POLICY_NAME) -> _Headers:
    """The rate-limit fields of a checked response, in `style`."""
    if style == "none":
        return []
    limit = result.get("limit")
    remaining = result.get("remaining")
    if limit is None:
        # An engine that tells no figures: a refusal still means none is left.
        if not result.get("would_block"):
            return []
        return [("X-RateLimit-Remaining" if style == "x" else "RateLimit-Remaining", "0")]
    if remaining is None:  # disabled mode counts nothing
        return []
    reset_ms = result.get("reset_after_ms")
    reset = None if reset_ms is None else _seconds(reset_ms)
    if style == "draft":
        name = _quoted(policy_name)
        state = name + ";r=" + str(remaining) + ("" if reset is None else ";t=" + str(reset))
        return [("RateLimit-Policy", _policy_field(name, limit, result.get("window_ms"))),
                ("RateLimit", state)]
    prefix = "RateLimit-" if style == "legacy" else "X-RateLimit-"
    headers = [(prefix + "Limit", str(limit)), (prefix + "Remaining", str(remaining))]
    if reset is not None:
        headers.append((prefix + "Reset", str(reset)))
    return headers


def retry_after(result: Any) -> Optional[str]:
    """Retry-After for a refused result: whole seconds, rounded up, never 0.

    None when the engine does not tell when a retry would pass.
    """
    if "retry_after_ms" not in result:
        return None
    wait = result["retry_after_ms"]
    if wait is None:
        return str(NEVER_RETRY_SECONDS)
    return str(max(1, _seconds(wait)))


def response_headers(result: Any, style: str, policy_name: str = DEFAULT_POLICY_NAME) -> _Headers:
    """Every field a checked response carries: the limit fields, and Retry-After
    when the limiter refused (also in shadow mode, where nothing is refused)."""
    headers = limit_headers(result, style, policy_name)
    if result.get("would_block"):
        wait = retry_after(result)
        if wait is not None:
            headers.append(("Retry-After", wait))
    return headers


def _encodes_as_latin1(text: str) -> bool:
    try:
        text.encode("latin-1")
        return True
    except UnicodeEncodeError:
        return False


class ResponseFields:
    """Makes the fields of one policy's checked responses in one style (as
    `response_headers`), cheaply for the common answer: an admission in the
    "draft" style with int figures, whose two fields are made once per set of
    figures (limit, window, remaining, reset seconds) and kept, up to
    MAX_KEPT_FIELDS sets; a token bucket of a few thousand requests has fewer.
    With `as_bytes`, names are lower-case and both halves latin-1 bytes, as
    ASGI wants them. Thread-safe: the kept fields are immutable tuples in a
    dict read and written whole.
    """

    def __init__(self, style: str, policy_name: str = DEFAULT_POLICY_NAME,
                 as_bytes: bool = False) -> None:
        self.style = style
        self.policy_name = policy_name
        self.as_bytes = as_bytes
        self._quoted = _quoted(policy_name)
        # A name latin-1 cannot carry fails on every answer, as response_headers does.
        self._draft = style == "draft" and (not as_bytes or self._quoted.isascii()
                                            or _encodes_as_latin1(self._quoted))
        # (limit, window ms, remaining, reset s) -> the two fields: a policy has few.
        self._made: Dict[Tuple[int, Optional[int], int, int], Tuple[Any, Any]] = {}

    def fields(self, result: Any) -> Sequence[Any]:
        """The fields of a response checked with `result` (a list or a tuple; never
        to be changed in place)."""
        if self._draft:
            try:
                blocks = result["would_block"]
                limit = result["limit"]
                remaining = result["remaining"]
                reset_ms = result["reset_after_ms"]
                window_ms = result["window_ms"]
            except (KeyError, TypeError):
                pass
            else:
                # Only ints: a float equal to an int would find the int's fields, and
                # str() writes it otherwise.
                if (blocks is False and limit.__class__ is int is remaining.__class__
                        and reset_ms.__class__ is int
                        and (window_ms.__class__ is int or window_ms is None)):
                    figures = (limit, window_ms, remaining, -(-reset_ms // 1000))
                    made = self._made.get(figures)
                    return made if made is not None else self._draft_fields(figures)
        headers = response_headers(result, self.style, self.policy_name)
        if not self.as_bytes:
            return headers
        return [(name.lower().encode("latin-1"), value.encode("latin-1"))
                for name, value in headers]

    def _draft_fields(self, figures: Tuple[int, Optional[int], int, int]) -> Tuple[Any, Any]:
        limit, window_ms, remaining, reset = figures
        policy = _policy_field(self._quoted, limit, window_ms)
        state = self._quoted + ";r=" + str(remaining) + ";t=" + str(reset)
        if self.as_bytes:
            made: Tuple[Any, Any] = ((b"ratelimit-policy", policy.encode("latin-1")),
                                     (b"ratelimit", state.encode("latin-1")))
        else:
            made = (("RateLimit-Policy", policy), ("RateLimit", state))
        kept = self._made
        if len(kept) >= MAX_KEPT_FIELDS:
            kept.clear()
        kept[figures] = made
        return made
