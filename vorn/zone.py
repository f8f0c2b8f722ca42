"""Shared-memory zones: named per-client state that every worker process of the
machine's user can attach, so one limit holds across all of them.

A zone is created by the first engine that names it (`create_engine(zone=...)`)
and lives until `remove_zone` or a reboot; engines attached later, in any
process of the same user, share its clients. A zone lives in `zone_dir` when
one is given, else in the default place (see docs/zones.md); every function here
takes the same `zone_dir` as the engines that use the zone.
"""
import os
from typing import TYPE_CHECKING, Dict, Optional, Union

if TYPE_CHECKING:  # the stub ships with the wheel
    from vorn_native import ZoneStats

ZoneDir = Union[None, str, "os.PathLike[str]"]


def zone_directory(zone_dir: ZoneDir) -> Optional[str]:
    """zone_dir as the native functions take it: a pathlib.Path names a directory
    as well as a str; anything else goes on as given, for them to name it."""
    return os.fspath(zone_dir) if isinstance(zone_dir, os.PathLike) else zone_dir


def remove_zone(name: str, zone_dir: ZoneDir = None) -> bool:
    """Removes the zone's name; False when there was none. Engines attached to
    it keep working, and within a second follow the name to a fresh zone."""
    from ._native import remove_zone as native_remove_zone

    return native_remove_zone(name, zone_directory(zone_dir))


def zone_stats(name: str, zone_dir: ZoneDir = None) -> "ZoneStats":
    """The zone's occupancy: `keys` held out of `capacity`, `evictions`,
    `reclaimed`, `recoveries`, `repairs` (clients whose damaged state started
    fresh), `replacements`, `size_bytes`, `configs`, and the `path` of its file.
    Raises `ZoneError` when it is missing."""
    from ._native import zone_stats as native_zone_stats

    return native_zone_stats(name, zone_directory(zone_dir))


def zone_counts(name: str, zone_dir: ZoneDir = None) -> Dict[str, Dict[str, int]]:
    """The checks of every engine on the zone, of every process, by the name each
    counts under ("default" unless named): {name: {allowed, refused,
    shadow_refused, disabled, fallback}}. Raises `ZoneError` when it is missing."""
    from . import _native  # noqa: F401  (the platform check)
    import vorn_native

    return vorn_native.zone_counts(name, zone_directory(zone_dir))
