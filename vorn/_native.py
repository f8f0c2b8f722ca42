"""The native engine module, vorn_native, as the package reaches it.

Importing this module imports vorn_native. Where that fails on a platform the
released wheels do not cover (another OS, another processor, a Linux without
glibc or with an older one), the ImportError names the platform found and the
platforms supported instead of a loader's message; elsewhere the loader's
error stands. The pure-Python parts of vorn never import this module.
"""
import platform
import sys
from typing import Optional

SUPPORTED_MACHINES = ("x86_64", "aarch64")
GLIBC_FLOOR = "2.34"


def _version_key(text: str) -> tuple:
    return tuple(int(part) for part in text.split(".") if part.isdigit())


def unsupported_platform() -> Optional[str]:
    """Why the released wheels cannot run here, or None when they can."""
    machine = platform.machine().lower()
    found = "%s-%s" % (sys.platform, machine)
    if sys.platform.startswith("linux"):
        libc, version = platform.libc_ver()
        found += " with glibc " + version if libc == "glibc" else " without glibc (musl?)"
        if (libc == "glibc" and machine in SUPPORTED_MACHINES
                and _version_key(version) >= _version_key(GLIBC_FLOOR)):
            return None
    return ("vorn: no native engine for %s; vorn's wheels are for %s with glibc %s or later "
            "(elsewhere on Linux, build it from source)"
            % (found, " and ".join("linux-" + name for name in SUPPORTED_MACHINES), GLIBC_FLOOR))


try:
    from vorn_native import RustEngine, ZoneEngine, ZoneError, remove_zone, zone_stats
except ImportError as error:
    problem = unsupported_platform()
    if problem is None:
        raise
    raise ImportError(problem) from error

__all__ = ["RustEngine", "ZoneEngine", "ZoneError", "remove_zone", "zone_stats"]
