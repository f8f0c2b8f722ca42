"""The algorithm and mode names the friendly layer accepts.

The native class runs the token bucket for any unknown algorithm name and active
mode for any unknown mode, as it must; a misspelt "Shadow" would then block real
traffic. The factories of this package refuse such names instead.
"""
from typing import Any

ALGORITHMS = ("token_bucket", "sliding_window", "fixed_window", "leaky_bucket")
MODES = ("active", "shadow", "disabled")


def _check(kind: str, value: Any, valid: tuple) -> None:
    listed = ", ".join(valid)
    if not isinstance(value, str):
        raise TypeError(f"{kind} must be a str, one of: {listed}; got {type(value).__name__}")
    if value not in valid:
        raise ValueError(f"unknown {kind} {value!r}; valid names: {listed}")


def check_names(algorithm: Any, mode: Any) -> None:
    """Raises TypeError or ValueError, listing the valid names, for an unknown one."""
    _check("algorithm", algorithm, ALGORITHMS)
    _check("mode", mode, MODES)
