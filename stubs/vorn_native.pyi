"""Type information for the native module vorn_native (one class, RustEngine)."""
from typing import List, Optional, TypedDict

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
    def check(self, ip: str, route: str, identity: Optional[str] = None) -> CheckResult: ...
