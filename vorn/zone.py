"""Shared-memory zones: named per-client state that every worker process of the
machine's user can attach, so one limit holds across all of them.

A zone is created by the first engine that names it (`create_engine(zone=...)`)
and lives until `remove_zone` or a reboot; engines attached later, in any
process of the same user, share its clients.
"""
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the stub ships with the wheel
    from vorn_native import ZoneStats


def remove_zone(name: str) -> bool:
    """Removes the zone's name; False when there was none. Engines already
    attached keep working on their mapping; a new engine starts a fresh zone."""
    from vorn_native import remove_zone as native_remove_zone

    return native_remove_zone(name)


def zone_stats(name: str) -> "ZoneStats":
    """The zone's occupancy: `keys` held out of `capacity`, `evictions`,
    `reclaimed`, `size_bytes` and `configs`. Raises `ZoneError` when it is missing."""
    from vorn_native import zone_stats as native_zone_stats

    return native_zone_stats(name)
