"""What both Redis engines of vorn.redis_engine share: the limit as the Lua
scripts take it (arguments, key names, costs), the results they are read into,
and the degraded state. No Redis client is used here."""
import base64
import codecs
import functools
import hashlib
import logging
import math
import pathlib
import re
import struct
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple

from . import _counts

LOG = logging.getLogger("vorn.redis")

DEFAULT_PREFIX = "vorn:"
DEFAULT_TIMEOUT = 0.05
#: Seconds between two probes of a Redis that failed.
DEFAULT_PROBE_INTERVAL = 0.5
ON_ERROR_CHOICES = ("local", "allow", "deny")
WINDOW_MS = 60000
U64_MAX = 2 ** 64 - 1

_PACKAGE_DIR = pathlib.Path(__file__).resolve().parent
# The wheel carries the scripts inside the package; a checkout keeps them at the top.
_SCRIPT_DIRS = (_PACKAGE_DIR / "lua", _PACKAGE_DIR.parent / "lua")


def script_text(limiter: str) -> str:
    """The Lua source of one script: a limiter's ("token_bucket", ...) or "limits"."""
    for directory in _SCRIPT_DIRS:
        path = directory / (limiter + ".lua")
        if path.is_file():
            return path.read_text(encoding="utf-8")
    raise FileNotFoundError("vorn: no Lua script for " + limiter + " in "
                            + " or ".join(str(d) for d in _SCRIPT_DIRS))


def _limiter_for(algorithm: str) -> str:
    # Every other name, recognised or not, runs the token bucket.
    return algorithm if algorithm in ("sliding_window", "fixed_window", "leaky_bucket") \
        else "token_bucket"


def whole_count(value: float) -> int:
    """A capacity as a count of requests: truncated, NaN and negatives 0, saturating."""
    if not value > 0:
        return 0
    return U64_MAX if value >= 2.0 ** 64 else int(value)


def script_number(value: float) -> str:
    """A number as the script reads it back exactly (Lua's tonumber)."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return repr(value)


def key_number(value: float) -> str:
    """A number in a key, written the same way by both hosts: whole numbers below
    2^53 as digits, everything else by its bits."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value == int(value) and abs(value) < 2.0 ** 53:
        return str(int(value))
    return "x" + struct.pack(">d", value).hex()


_TAGS = {"token_bucket": "tb", "sliding_window": "sw", "fixed_window": "fw",
         "leaky_bucket": "lb"}


class Limits:
    """What one configuration sends to Redis: the scripts' arguments and the key
    prefix that keeps engines with other limits apart. Immutable.

    `args` are the one-rate script's (None for several rates); `rate_args` are
    lua/limits.lua's, two per rate. A limit of one rate writes the same key and
    state as the one-rate engine of that capacity and rate (or count and window),
    so both share a client's state; the key of several rates names each rate as
    written ("tb:300/60000;1000/3600000:")."""

    def __init__(self, algorithm: str, capacity: float, refill_rate: float, prefix: str,
                 rates: Optional[Sequence[Tuple[float, int]]] = None) -> None:
        self.limiter = _limiter_for(algorithm)
        self.kind = _TAGS[self.limiter]
        self.whole_costs = self.limiter in ("sliding_window", "fixed_window")
        if rates is None:
            pairs = [(float(capacity), float(refill_rate))] if not self.whole_costs \
                else [(float(capacity), WINDOW_MS)]
        elif self.whole_costs:
            pairs = [(float(count), int(window_ms)) for count, window_ms in rates]
        else:
            # The refill the native engine derives, in the same operations.
            pairs = [(float(count), float(count) * 1000.0 / float(window_ms))
                     for count, window_ms in rates]
        args: List[str] = []
        shapes = []
        for first, second in pairs:
            if self.whole_costs:
                count = str(whole_count(first))
                args += [count, str(second)]
                shapes.append(count + ":" + str(second))
            else:
                args += [script_number(first), script_number(second)]
                shapes.append(key_number(first) + ":" + key_number(second))
        self.rate_args: Tuple[str, ...] = tuple(args)
        self.single = len(pairs) == 1
        self.args: Optional[Tuple[str, ...]] = self.rate_args if self.single else None
        if rates is not None and not self.single:
            shapes = [(str(whole_count(float(count))) if self.whole_costs
                       else key_number(float(count))) + "/" + str(int(window_ms))
                      for count, window_ms in rates]
        self.key_prefix = prefix + self.kind + ":" + ";".join(shapes) + ":"
        # Outside every client's key space, and of this algorithm and configuration
        # only: what the probe of a failed Redis checks.
        self.probe_key = prefix + "probe:" + self.kind + ":" + ";".join(shapes)
        self.refused_reason = "token_exhausted" if self.limiter == "token_bucket" \
            else "limit_exceeded"


class Script:
    """A Lua script's text and SHA1, the name EVALSHA runs it by."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.sha = hashlib.sha1(text.encode("utf-8")).hexdigest()


def checked_cost(cost: Any, whole: bool, algorithm: str) -> float:
    """A request's cost (or a refund's amount) as a float: an int or a float,
    finite and >= 0, whole for the window algorithms; refused as the native
    engine refuses it, before anything is counted."""
    if isinstance(cost, bool) or not isinstance(cost, (int, float)):
        raise TypeError("cost must be an int or float, not %r" % (cost,))
    try:
        value = float(cost)
    except OverflowError:  # an int beyond every double
        value = math.inf
    if not math.isfinite(value) or value < 0:
        raise ValueError("cost must be a finite number >= 0, not %r" % (cost,))
    if whole and value != math.floor(value):
        raise ValueError("cost must be a whole number for %s, not %r" % (algorithm, cost))
    return value


# A lone surrogate (which JSON can carry) becomes U+FFFD, as Node's UTF-8 writes it.
codecs.register_error("vorn.replace",
                      lambda error: (b"\xef\xbf\xbd" * (error.end - error.start), error.end))


@functools.lru_cache(maxsize=4096)
def key_digest(key: str) -> str:
    """What a key name holds of a client's key (its identity or address): the
    first 16 bytes of the SHA-256 of its UTF-8, in unpadded base64url. The Node
    package writes the same, so both share a client's count; the key itself (an
    API key, say) is never stored."""
    digest = hashlib.sha256(key.encode("utf-8", "vorn.replace")).digest()[:16]
    return base64.urlsafe_b64encode(digest).decode("ascii")[:22]


def _client_key(key: Any) -> str:
    if not isinstance(key, str):
        raise TypeError("the key must be a str, not " + type(key).__name__)
    return key_digest(key)


class UnexpectedReply(Exception):
    """A reply that is not what the script returns: answered as a failure of Redis."""


_ONE_RATE_REPLY = re.compile(r"([01]) ([0-9]+) [^\n]*(?:\n(-?[0-9]+) (-?[0-9]+))?\Z")
_LIMITS_REPLY = re.compile(r"([01]) ([0-9]+) ([1-4]) (-?[0-9]+) (-?[0-9]+) ", re.S)


class EngineCore:
    """Configuration, result building and the degraded state that both engines
    share. The degraded flag is read without a lock (a stale read only picks the
    other path for one check); its changes happen under `_state_lock`."""

    def __init__(self, algorithm: str, mode: str, capacity: float, refill_rate: float,
                 api_key: Optional[str], debug: Optional[str], backend_url: str,
                 prefix: str, timeout: float, on_error: str, probe_interval: float,
                 clock: Optional[Callable[[], int]],
                 rates: Optional[Sequence[Tuple[float, int]]]) -> None:
        from ._native import RustEngine

        if on_error not in ON_ERROR_CHOICES:
            raise ValueError("on_error must be 'local', 'allow' or 'deny', not " + repr(on_error))
        if not timeout > 0:
            raise ValueError("the Redis timeout must be a positive number of seconds")
        # Also validates the arguments exactly as the native engine does.
        if rates is None:
            self.local = RustEngine(algorithm, mode, capacity, refill_rate, api_key, debug,
                                    backend_url)
        else:
            try:
                rates = [tuple(rate) for rate in rates]
            except TypeError:
                pass  # the native engine says what is wrong
            self.local = RustEngine.from_rates(algorithm, mode, rates, api_key, debug,
                                               backend_url)
        # Its checks are this engine's, counted as such: kept out of the process's
        # counts of in-process engines.
        self.local.name_counts(_counts.HIDDEN_NAME)
        self.counts_name = "default"
        self.own_counts = [0] * len(_counts.OUTCOMES)
        self.algorithm = algorithm
        self.mode = mode if mode in ("shadow", "disabled") else "active"
        self.limits = Limits(algorithm, capacity, refill_rate, prefix, rates)
        # The limits and windows clients are told, the same as the native engine's.
        self.policies: Tuple[Tuple[int, Optional[int]], ...] = tuple(self.local.policies)
        self.one_rate = Script(script_text(self.limits.limiter))
        self.several = Script(script_text("limits"))
        self.timeout = timeout
        self.on_error = on_error
        self.probe_interval = probe_interval
        self.clock = clock
        # Masked in log lines; set by the engine once it knows its client.
        self.password: Optional[str] = None
        # The servers (their descriptions) that failed and are being probed.
        self._down: Set[str] = set()
        self._closed = False
        self._state_lock = threading.Lock()

    def counted(self, result: Dict[str, Any], started: Optional[float],
                by_policy: bool = False) -> Dict[str, Any]:
        """`result`, counted for the metrics; `started` is when the Redis call
        began (its round trip is timed), None when Redis was not asked."""
        if started is not None:
            _counts.observe_round_trip(time.monotonic() - started)
        if self.mode == "disabled":
            outcome = _counts.DISABLED
        else:
            outcome = _counts.outcome_of(result, self.mode == "shadow")
        _counts.count(self.counts_name, "redis", outcome, by_policy, self.own_counts)
        return result

    @property
    def degraded(self) -> bool:
        """True while some checks are answered without Redis."""
        return bool(self._down)

    def is_down(self, where: str) -> bool:
        return where in self._down

    def cost(self, cost: Any) -> float:
        return checked_cost(cost, self.limits.whole_costs, self.algorithm)

    def _now(self) -> str:
        return "" if self.clock is None else str(int(self.clock()))

    def check_call(self, ip: str, identity: Optional[str], told: bool,
                   cost: float = 1.0) -> Tuple[Script, Tuple[Any, ...]]:
        """The script that decides a check, and EVALSHA's arguments after the SHA.

        A check of cost 1 against a single rate runs that limiter's own script,
        which takes the key count, the key, the limits, the time, and "1" when
        the waits are wanted too; anything else runs lua/limits.lua."""
        key = self.limits.key_prefix + _client_key(identity if identity is not None else ip)
        limits = self.limits
        if limits.single and cost == 1:
            return self.one_rate, (1, key, *limits.rate_args, self._now(),
                                   *(("1",) if told else ()))
        return self.several, (1, key, limits.kind, self._now(), script_number(cost), "check",
                              *limits.rate_args)

    def refund_args(self, full_key: str, amount: float) -> Tuple[Any, ...]:
        return (1, full_key, self.limits.kind, self._now(), script_number(amount), "refund",
                *self.limits.rate_args)

    def full_key(self, key: str) -> str:
        return self.limits.key_prefix + _client_key(key)

    def probe_call(self, key: Optional[str] = None) -> Tuple[Script, Tuple[Any, ...]]:
        """A check of the probe key (or of `key`, a probe key of a cluster node's
        slot): Redis is back when the script runs again, not merely when it
        answers PING (a full or read-only Redis still does)."""
        limits = self.limits
        key = limits.probe_key if key is None else key
        if limits.single:
            return self.one_rate, (1, key, *limits.rate_args, "")
        return self.several, (1, key, limits.kind, "", "1", "check", *limits.rate_args)

    def result(self, route: str, admitted: bool, reason: str, remaining: Optional[int],
               started: float) -> Dict[str, Any]:
        would_block = not admitted
        shadow = self.mode == "shadow"
        if admitted:
            decision = "allow"
        else:
            decision = "would_block" if shadow else "block"
        latency_ms = int((time.monotonic() - started) * 1000)
        return {"allowed": admitted or shadow, "would_block": would_block, "reason": reason,
                "decision": {"decision": decision, "reason": reason,
                             "algorithm": self.algorithm, "route": route,
                             "remaining": remaining, "latency_ms": latency_ms}}

    def from_reply(self, route: str, reply: Any, started: float, told: bool,
                   script: Script) -> Dict[str, Any]:
        """The result a script's reply says; UnexpectedReply for anything else."""
        if isinstance(reply, bytes):
            reply = reply.decode("utf-8", "replace")
        if not isinstance(reply, str):
            raise UnexpectedReply("the script answered with %s" % type(reply).__name__)
        wait = lambda text: None if int(text) < 0 else int(text)  # noqa: E731
        if script is self.one_rate:
            # "<1 or 0> <remaining> <message>", and when told "\n<next ms> <reset ms>"
            match = _ONE_RATE_REPLY.match(reply)
            if match is None or (told and match.group(3) is None):
                raise UnexpectedReply("the script's answer is not a decision")
            admitted, remaining = match.group(1) == "1", int(match.group(2))
            result = self.result(route, admitted, self._reason(admitted), remaining, started)
            if told:
                self.add_figures(result, remaining, wait(match.group(3)), wait(match.group(4)))
            return result
        # "<1 or 0> <remaining> <deciding rate> <next ms> <reset ms> <message>"
        match = _LIMITS_REPLY.match(reply)
        if match is None or int(match.group(3)) > len(self.policies):
            raise UnexpectedReply("the script's answer is not a decision")
        admitted, remaining = match.group(1) == "1", int(match.group(2))
        result = self.result(route, admitted, self._reason(admitted), remaining, started)
        if told:
            self.add_figures(result, remaining, wait(match.group(4)), wait(match.group(5)),
                             int(match.group(3)) - 1)
        return result

    def _reason(self, admitted: bool) -> str:
        return "within_limit" if admitted else self.limits.refused_reason

    def add_figures(self, result: Dict[str, Any], remaining: Optional[int],
                    next_ms: Optional[int], reset_ms: Optional[int], rate: int = 0) -> None:
        """Adds what check_limits tells, in the native engine's order: the deciding
        rate's limit and window, and with several rates every rate's."""
        limit, window_ms = self.policies[rate]
        result.update(limit=limit, remaining=remaining, retry_after_ms=next_ms,
                      reset_after_ms=reset_ms, window_ms=window_ms)
        if len(self.policies) > 1:
            result["policies"] = self.policies

    def local_check(self, ip: str, route: str, identity: Optional[str], told: bool,
                    cost: Any = 1) -> Dict[str, Any]:
        if told:
            return self.local.check_limits(ip, route, identity, cost=cost)
        return self.local.check(ip, route, identity)

    def without_redis(self, ip: str, route: str, identity: Optional[str],
                      started: float, told: bool = False, cost: float = 1.0) -> Dict[str, Any]:
        if self.on_error == "local":
            return self.local_check(ip, route, identity, told, cost)
        if self.on_error == "allow":
            result = self.result(route, True, "within_limit", None, started)
            if told:
                self.add_figures(result, None, 0, None)
        else:
            result = self.result(route, False, "limit_exceeded", 0, started)
            if told:
                self.add_figures(result, 0, None, None)
        return result

    def enter_degraded(self, error: BaseException, describe: str) -> bool:
        """Marks the server degraded; True when this call did it (and must start its probe)."""
        with self._state_lock:
            if describe in self._down or self._closed:
                return False
            self._down = self._down | {describe}
        LOG.warning("vorn: Redis at %s failed (%s); answering %s until it is back", describe,
                    error_text(error, self), fallback_words(self.on_error))
        return True

    def leave_degraded(self, describe: str, words: str = "answers again") -> None:
        with self._state_lock:
            self._down = self._down - {describe}
        LOG.warning("vorn: Redis at %s %s; checks go back to it", describe, words)


def fallback_words(on_error: str) -> str:
    return {"local": "from the in-process engine", "allow": "by allowing every request",
            "deny": "by refusing every request"}[on_error]


def error_text(error: BaseException, core: "EngineCore") -> str:
    text = type(error).__name__ + ": " + str(error)
    return text.replace(core.password, "***") if core.password else text
