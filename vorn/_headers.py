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

Reset times are seconds from now until the whole allowance is back, rounded up,
except the "x" style's X-RateLimit-Reset: the Unix time, in seconds rounded up, at
which it is back, as most APIs send it. The draft's Integers stay within the 15
digits Structured Field parsers accept: a larger figure is sent as the largest.
A result from an engine without `check_limits` tells only that a refused
request has none left.

A result of several rates (its `policies`) lists every rate in the draft's
RateLimit-Policy, one item each, named "<name>-<window>" with the window in
the largest of d, h, m, s that writes it whole, else in ms ("default-1s",
"default-1h", "default-1500ms"; "-never" for one that never refills); a name
given twice also gets the rate's position ("default-1s-2"). RateLimit, and the
legacy and x styles, tell the deciding rate: the result's limit and window.
"""
import functools
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

HEADER_STYLES = ("draft", "legacy", "x", "none")
DEFAULT_POLICY_NAME = "default"
#: Retry-After for a refusal that no wait will lift (an allowance that never refills).
NEVER_RETRY_SECONDS = 60

#: The largest Integer of a Structured Field (RFC 8941): 15 digits.
MAX_FIELD_INTEGER = 999_999_999_999_999

_Headers = List[Tuple[str, str]]

#: (limit, window ms, remaining, reset s), and the policies of a result of several rates.
_Figures = Tuple[Any, ...]

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


def _integer(figure: Any) -> str:
    """A figure as a draft field writes it: never past the 15 digits parsers accept."""
    return str(MAX_FIELD_INTEGER if figure > MAX_FIELD_INTEGER else figure)


def _unix_ms() -> int:
    return time.time_ns() // 1_000_000


@functools.lru_cache(maxsize=256)
def _quoted(name: str) -> str:
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


# An engine's policy field is the same on every answer: made once.
@functools.lru_cache(maxsize=256)
def _policy_field(name: str, limit: int, window_ms: Optional[int]) -> str:
    field = name + ";q=" + _integer(limit)
    if window_ms is not None:
        field += ";w=" + _integer(max(1, _seconds(window_ms)))
    return field


_WINDOW_UNITS = ((86_400_000, "d"), (3_600_000, "h"), (60_000, "m"), (1000, "s"))


def _window_label(window_ms: Optional[int]) -> str:
    if window_ms is None:
        return "never"
    for unit_ms, unit in _WINDOW_UNITS:
        if window_ms % unit_ms == 0:
            return str(window_ms // unit_ms) + unit
    return str(window_ms) + "ms"


_Policies = Tuple[Tuple[int, Optional[int]], ...]


def _policies_key(policies: Any) -> _Policies:
    """The policies as a tuple of (limit, window_ms) pairs, to key caches by."""
    try:
        hash(policies)
        return policies
    except TypeError:
        return tuple((limit, window_ms) for limit, window_ms in policies)


# The RateLimit-Policy field of several rates, and the quoted name of each
# (limit, window ms): made once per engine.
@functools.lru_cache(maxsize=256)
def _several_policies(name: str, policies: _Policies
                      ) -> Tuple[str, Dict[Tuple[int, Optional[int]], str]]:
    items, named, seen = [], {}, set()
    for position, (limit, window_ms) in enumerate(policies, 1):
        label = name + "-" + _window_label(window_ms)
        if label in seen:
            label += "-" + str(position)
        seen.add(label)
        quoted = _quoted(label)
        items.append(_policy_field(quoted, limit, window_ms))
        named.setdefault((limit, window_ms), quoted)
    return ", ".join(items), named


def _draft_policy(policy_name: str, limit: int, window_ms: Optional[int],
                  policies: Any) -> Tuple[str, str]:
    """(RateLimit-Policy, the quoted name RateLimit tells) of a result."""
    if policies is None or len(policies) < 2:
        name = _quoted(policy_name)
        return _policy_field(name, limit, window_ms), name
    field, named = _several_policies(policy_name, _policies_key(policies))
    return field, named.get((limit, window_ms), _quoted(policy_name))


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
        policy, name = _draft_policy(policy_name, limit, result.get("window_ms"),
                                     result.get("policies"))
        state = name + ";r=" + _integer(remaining) + ("" if reset is None
                                                       else ";t=" + _integer(reset))
        return [("RateLimit-Policy", policy), ("RateLimit", state)]
    prefix = "RateLimit-" if style == "legacy" else "X-RateLimit-"
    headers = [(prefix + "Limit", str(limit)), (prefix + "Remaining", str(remaining))]
    if reset_ms is not None:
        headers.append((prefix + "Reset", str(reset) if style == "legacy"
                        else str(_seconds(_unix_ms() + reset_ms))))
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
        # (limit, window ms, remaining, reset s[, policies]) -> the two fields: a
        # policy has few.
        self._made: Dict[_Figures, Tuple[Any, Any]] = {}

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
                    if "policies" not in result:
                        figures: _Figures = (limit, window_ms, remaining, -(-reset_ms // 1000))
                    else:
                        figures = (limit, window_ms, remaining, -(-reset_ms // 1000),
                                   _policies_key(result["policies"]))
                    made = self._made.get(figures)
                    return made if made is not None else self._draft_fields(figures)
        headers = response_headers(result, self.style, self.policy_name)
        if not self.as_bytes:
            return headers
        return [(name.lower().encode("latin-1"), value.encode("latin-1"))
                for name, value in headers]

    def of_one_policy(self) -> Callable[[Any], Sequence[Any]]:
        """`fields` for the results of one engine of this package with one policy,
        whose results always carry that policy's limit and window, and figures that
        are ints or None: an admission whose remaining count and reset were seen
        before takes one look-up. The style's own `fields` when it keeps nothing.
        """
        fields = self.fields
        if not self._draft:
            return fields
        seen: Dict[Tuple[Any, Any], Sequence[Any]] = {}

        def one_policy_fields(result):
            remaining = result["remaining"]
            reset_ms = result["reset_after_ms"]
            # An equal float (9.0 == 9) is written otherwise: ints only.
            if result["would_block"] is False and remaining.__class__ is int is reset_ms.__class__:
                made = seen.get((remaining, reset_ms))
                if made is None:
                    made = fields(result)
                    if len(seen) >= MAX_KEPT_FIELDS:
                        seen.clear()
                    seen[remaining, reset_ms] = made
                return made
            return fields(result)

        return one_policy_fields

    def _draft_fields(self, figures: "_Figures") -> Tuple[Any, Any]:
        limit, window_ms, remaining, reset = figures[:4]
        if len(figures) == 4:
            policy, name = _policy_field(self._quoted, limit, window_ms), self._quoted
        else:
            policy, name = _draft_policy(self.policy_name, limit, window_ms, figures[4])
        state = name + ";r=" + _integer(remaining) + ";t=" + _integer(reset)
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
