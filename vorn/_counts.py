"""What the package's own engines (the Redis ones, whose checks run in Python)
count, beside what the native engines count in the library: checks by name and
outcome, the failure policy's answers, whether any is degraded now, and how
long Redis took to answer. Read by vorn.metrics; thread-safe.

Counts of a name only ever grow, engines gone included, as monitoring counters
must. Each process counts its own.
"""
import threading
import weakref
from typing import Any, Dict, List, Optional, Tuple

#: The outcomes, in the order of a count list; "fallback" is also one of the others.
OUTCOMES = ("allowed", "refused", "shadow_refused", "disabled", "fallback")
ALLOWED, REFUSED, SHADOW_REFUSED, DISABLED, FALLBACK = range(5)

#: Upper bounds (seconds) of the Redis round-trip histogram's buckets.
ROUND_TRIP_BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0)

_lock = threading.Lock()
_counts: Dict[Tuple[str, str], List[int]] = {}
_round_trips = [0] * (len(ROUND_TRIP_BUCKETS) + 1)  # the last: above every bound
_round_trip_seconds = [0.0]
_engines: "weakref.WeakSet[Any]" = weakref.WeakSet()
#: Called with each round trip's seconds as well (the multiprocess metrics).
round_trip_hooks: List[Any] = []


def outcome_of(result: Any, shadow: bool) -> int:
    """The outcome index of a check's result dict."""
    if result.get("would_block"):
        return SHADOW_REFUSED if shadow else REFUSED
    return ALLOWED


def count(name: str, store: str, outcome: int, by_policy: bool = False,
          own: Optional[List[int]] = None) -> None:
    """Counts one check of an engine named `name` on `store` ("redis"), also in
    the engine's `own` counts when given."""
    key = (name, store)
    with _lock:
        counts = _counts.get(key)
        if counts is None:
            counts = _counts[key] = [0] * len(OUTCOMES)
        for kept in (counts, own) if own is not None else (counts,):
            kept[outcome] += 1
            if by_policy:
                kept[FALLBACK] += 1


def observe_round_trip(seconds: float) -> None:
    """Records how long one round trip to Redis took."""
    slot = len(ROUND_TRIP_BUCKETS)
    for at, bound in enumerate(ROUND_TRIP_BUCKETS):
        if seconds <= bound:
            slot = at
            break
    with _lock:
        _round_trips[slot] += 1
        _round_trip_seconds[0] += seconds
    for hook in round_trip_hooks:
        hook(seconds)


def track(engine: Any) -> None:
    """Keeps `engine` (with a `degraded` attribute and a `store`) in view while it lives."""
    with _lock:
        _engines.add(engine)


def counts() -> List[Tuple[str, str, List[int]]]:
    """(name, store, counts) of every name counted so far."""
    with _lock:
        return [(name, store, list(values)) for (name, store), values in _counts.items()]


def degraded_stores() -> Dict[str, bool]:
    """store -> whether any live engine of it is degraded now."""
    with _lock:
        engines = list(_engines)
    stores: Dict[str, bool] = {}
    for engine in engines:
        store = getattr(engine, "store", "redis")
        stores[store] = stores.get(store, False) or bool(getattr(engine, "degraded", False))
    return stores


def round_trips() -> Tuple[List[int], float]:
    """(per-bucket counts, not cumulative, with the overflow last; total seconds)."""
    with _lock:
        return list(_round_trips), _round_trip_seconds[0]


#: The longest name counts go under, in UTF-8 bytes (a zone's meters hold no more).
MAX_NAME_BYTES = 48


def counted_name(name: str) -> str:
    """`name` as counts can go under it: cut to MAX_NAME_BYTES at a character's end;
    "default" for none."""
    data = name.encode("utf-8", "replace")[:MAX_NAME_BYTES]
    return data.decode("utf-8", "ignore") or "default"


def name_counts(engine: Any, name: str) -> None:
    """Has `engine` count under `name` (the metrics' limit label), when it can."""
    named = getattr(engine, "name_counts", None)
    if callable(named):
        named(counted_name(name))

#: The name of engines counted by another (a Redis engine's own in-process engine,
#: whose checks the Redis engine counts): left out of the metrics.
HIDDEN_NAME = "\x1f"
