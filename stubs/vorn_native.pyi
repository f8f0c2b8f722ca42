"""Type information for the native module vorn_native: RustEngine, and ZoneEngine with
its shared-memory zones."""
from typing import Dict, List, Optional, Sequence, Tuple, TypedDict, Union

__all__: List[str]

class Decision(TypedDict):
    """The decision record of one check (the inner "decision" dict)."""

    decision: str  # "allow", "block" or "would_block"
    reason: str  # "within_limit", "limit_exceeded" or "token_exhausted"
    algorithm: str
    route: str
    remaining: Optional[int]  # None in disabled mode
    latency_ms: Optional[int]

class _CheckResultRequired(TypedDict):
    allowed: bool
    would_block: bool
    decision: Decision

class CheckResult(_CheckResultRequired, total=False):
    """What RustEngine.check returns; "reason" is absent in disabled mode."""

    reason: str

#: One rate of a limit: (count, window_ms), window_ms 1 to 31,622,400,000 (366 days).
Rate = Tuple[float, int]
#: What clients are told of one rate: (limit, window_ms); window_ms None when nothing refills.
Policy = Tuple[int, Optional[int]]
#: A request's weight: a finite number >= 0 (whole for the window algorithms); 0 counts
#: nothing and answers whether a request of weight 1 would be admitted now.
Cost = Union[int, float]

class _LimitsFigures(CheckResult):
    limit: int
    remaining: Optional[int]
    retry_after_ms: Optional[int]  # until a request would be admitted; 0 while one would be
    reset_after_ms: Optional[int]  # until the whole allowance is back
    window_ms: Optional[int]  # the time a drained allowance takes to be whole again

class LimitsResult(_LimitsFigures, total=False):
    """What RustEngine.check_limits returns: check's result and the limit figures.

    Times are in milliseconds; None where nothing is counted (disabled mode) or
    where the time never comes (an allowance that does not refill). An engine of
    several rates answers with the deciding rate's limit and window and adds
    `policies`, every rate's.
    """

    policies: Tuple[Policy, ...]

class RustEngine:
    """One rate-limiting engine: an algorithm, a mode and per-client state."""

    def __new__(
        cls,
        algorithm_str: str,
        mode_str: str,
        capacity: float,
        refill_rate: float,
        api_key: Optional[str],
        debug: Optional[str],
        backend_url: str,
    ) -> "RustEngine": ...
    @classmethod
    def from_rates(
        cls,
        algorithm: str,
        mode: str,
        rates: Sequence[Rate],  # 1 to 4; a request is admitted only when every rate admits it
        api_key: Optional[str] = None,
        debug: Optional[str] = None,
        backend_url: str = "http://localhost:4000",
    ) -> "RustEngine": ...
    def check(self, ip: str, route: str, identity: Optional[str] = None) -> CheckResult: ...
    def check_limits(self, ip: str, route: str, identity: Optional[str] = None, *,
                     cost: Cost = 1) -> LimitsResult: ...
    def refund(self, key: str, cost: Cost = 1) -> None: ...  # key: the identity, else the ip
    def reset(self, key: str) -> None: ...  # the key's next check starts fresh
    def stats(self) -> CheckCounts: ...  # this engine's checks since it was made
    def name_counts(self, name: str) -> None: ...  # no effect in process: counts are the engine's own
    @property
    def policies(self) -> Tuple[Policy, ...]: ...

class CheckCounts(TypedDict):
    """An engine's checks by outcome (stats(), zone_counts())."""

    allowed: int
    refused: int
    shadow_refused: int  # shadow mode: would have been refused
    disabled: int  # disabled mode: let through, nothing consulted
    fallback: int  # of the above, answered by the failure policy: the store was unusable

class ZoneError(OSError):
    """A zone could not be created, attached, read or removed."""

class ZoneStats(TypedDict):
    """What zone_stats returns."""

    keys: int  # client states held now
    capacity: int  # client states the zone can hold
    evictions: int  # states dropped, least recently used first, to make room
    reclaimed: int  # states dropped because a fresh one would answer the same
    recoveries: int  # checks cut short by a dead process, whose writes were undone
    repairs: int  # shards and client states found damaged and started fresh
    replacements: int  # damaged zones replaced by a fresh one under this name
    size_bytes: int
    configs: int  # distinct limiter configurations that engines brought to the zone
    path: str  # the zone's file

class ZoneEngine:
    """An engine whose per-client state lives in a named shared-memory zone, shared
    by every engine of the machine's user attached to the same zone. While the zone
    cannot be used, checks are answered as `on_error` says and `degraded` is True;
    each change is logged as a warning of the logger "vorn.zone". A check waiting
    for a lock that another process holds releases the GIL meanwhile."""

    def __new__(
        cls,
        zone: str,  # 1 to 64 of [A-Za-z0-9_.-], else ValueError
        zone_size: Optional[int],  # bytes when the zone is created; None: the default
        algorithm_str: str,
        mode_str: str,
        capacity: float,
        refill_rate: float,
        api_key: Optional[str],
        debug: Optional[str],
        backend_url: str,
        zone_dir: Optional[str] = None,  # an owner-only directory; None: the default place
        on_error: str = "local",  # "local", "allow" or "deny"
        rates: Optional[Sequence[Rate]] = None,  # when given, capacity and refill_rate are ignored
    ) -> "ZoneEngine": ...
    def check(self, ip: str, route: str, identity: Optional[str] = None) -> CheckResult: ...
    def check_limits(self, ip: str, route: str, identity: Optional[str] = None, *,
                     cost: Cost = 1) -> LimitsResult: ...
    def refund(self, key: str, cost: Cost = 1) -> None: ...  # in every process of the zone
    def reset(self, key: str) -> None: ...  # in every process of the zone
    def stats(self) -> CheckCounts: ...  # this engine's checks since it was made
    def name_counts(self, name: str) -> None: ...  # 1 to 48 UTF-8 bytes; "default" until given
    @property
    def policies(self) -> Tuple[Policy, ...]: ...
    @property
    def degraded(self) -> bool: ...
    @property
    def degraded_reason(self) -> Optional[str]: ...
    def zone_stats(self) -> Optional[ZoneStats]: ...  # None while degraded

class SyncEngine:
    """An engine of one limit shared through Redis, answered from local state: what
    create_engine(redis=..., sync=seconds) makes (a subclass that adds close() and
    holds the syncing thread). Checks never wait for Redis; `degraded` is True
    while the last sync failed."""

    def __new__(
        cls,
        algorithm: str,  # token_bucket, fixed_window or leaky_bucket
        mode: str,
        rates: Sequence[Rate],
        api_key: Optional[str] = None,
        debug: Optional[str] = None,
        backend_url: str = "http://localhost:4000",
        *,
        max_overshoot: float = 0.02,  # 0 to 1
        sync_ms: int = 100,
        zone: Optional[str] = None,  # this machine's processes on it share one table of keys
        zone_dir: Optional[str] = None,  # as for ZoneEngine
        zone_scope: Optional[str] = None,  # where it syncs: only engines of one scope share
        zone_size: Optional[int] = None,  # bytes of the shared table's file when new
    ) -> "SyncEngine": ...
    def check(self, ip: str, route: str, identity: Optional[str] = None) -> CheckResult: ...
    def check_limits(self, ip: str, route: str, identity: Optional[str] = None, *,
                     cost: Cost = 1) -> LimitsResult: ...
    def refund(self, key: str, cost: Cost = 1) -> None: ...  # here, and in Redis at the next sync
    def reset(self, key: str) -> None: ...  # here, and in Redis at the next sync
    def stats(self) -> CheckCounts: ...
    def name_counts(self, name: str) -> None: ...
    def close(self) -> None: ...  # the package's subclass: one last push, then no more syncs
    @property
    def policies(self) -> Tuple[Policy, ...]: ...
    @property
    def degraded(self) -> bool: ...

def remove_zone(name: str, zone_dir: Optional[str] = None) -> bool: ...
def zone_stats(name: str, zone_dir: Optional[str] = None) -> ZoneStats: ...
def zone_counts(name: str, zone_dir: Optional[str] = None) -> Dict[str, CheckCounts]: ...
