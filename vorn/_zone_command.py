"""The zone command, `python -m vorn`: lists the user's zones with their
figures, shows one, or removes one.

js/zone_command.js is its Node twin: for the same zone both print the same
text and the same JSON, whichever host's engines made it. Looking never makes
anything: a zone directory that is missing is not created, a zone that is
missing is reported, and a file of another layout is listed by its name alone.
"""
import errno
import json
import os
import re
import stat
import sys
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, TextIO

from .zone import remove_zone, zone_stats

# The layout of the zones this release's engines make: the `-v<layout>` that
# ends their files' names. Files of other layouts belong to other releases.
ZONE_LAYOUT = 3
ZONE_FILE = re.compile(r"vorn\.([A-Za-z0-9_.-]{1,64})\.zone-v([1-9][0-9]*)\Z")
ZONE_NAME = re.compile(r"[A-Za-z0-9_.-]{1,64}\Z")
INVALID_NAME = "invalid zone name: use 1 to 64 characters from A-Z, a-z, 0-9, '_', '.', '-'"
# The engines pass over default directories that other users took, this many at most.
DEFAULT_DIRECTORY_TRIES = 4
STAT_FIELDS = ("size_bytes", "keys", "capacity", "evictions", "reclaimed", "recoveries",
               "repairs", "replacements", "configs")
TABLE_COLUMNS = ("NAME", "SIZE", "KEYS", "CAPACITY", "EVICTIONS", "REPAIRS", "CONFIGS")
DETAIL_FIELDS = ("path", "size", "keys", "evictions", "reclaimed", "recoveries", "repairs",
                 "replacements", "configs")
SIZE_UNITS = (("TiB", 1 << 40), ("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10))
USAGE = """usage: {prog} zones [--zone-dir DIR] [--json]
       {prog} zone NAME [--zone-dir DIR] [--json]
       {prog} remove-zone NAME [--zone-dir DIR] [--json]
Lists the shared-memory zones of this user, shows one, or removes one. Zones live in
DIR when given, else in $XDG_RUNTIME_DIR, else in /dev/shm/vorn-<uid>, as the engines'
zone_dir / zoneDir says."""
COMMAND_NAMES = {"zones": 0, "zone": 1, "remove-zone": 1}


class CommandError(Exception):
    """What went wrong, as one line for stderr, and the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class Request(NamedTuple):
    command: str
    name: Optional[str]
    zone_dir: Optional[str]
    as_json: bool


class Place(NamedTuple):
    """Where zones are looked for: the directory, whether it exists, and the
    zone_dir to hand the engines' functions (None for the default place, so
    they settle it the same way the engines do)."""
    directory: str
    exists: bool
    zone_dir: Optional[str]


def parse_arguments(args: Sequence[str]) -> Optional[Request]:
    """The request that `args` make; None when they ask for help."""
    positional: List[str] = []
    zone_dir = None
    as_json = False
    index = 0
    while index < len(args):
        arg = args[index]
        if arg in ("-h", "--help"):
            return None
        if arg == "--json":
            as_json = True
        elif arg == "--zone-dir":
            index += 1
            if index == len(args):
                raise CommandError("--zone-dir needs a directory", 2)
            zone_dir = args[index]
        elif arg.startswith("--zone-dir="):
            zone_dir = arg[len("--zone-dir="):]
        elif arg.startswith("-"):
            raise CommandError("unknown option " + arg, 2)
        else:
            positional.append(arg)
        index += 1
    if not positional or positional[0] not in COMMAND_NAMES:
        raise CommandError("name a command: zones, zone NAME or remove-zone NAME", 2)
    command = positional[0]
    if len(positional) - 1 != COMMAND_NAMES[command]:
        wanted = "a zone's name" if COMMAND_NAMES[command] else "no name"
        raise CommandError(command + " takes " + wanted, 2)
    name = positional[1] if len(positional) > 1 else None
    if name is not None and not ZONE_NAME.match(name):
        raise CommandError(INVALID_NAME)
    return Request(command, name, zone_dir, as_json)


def directory_problem(directory: str, error: OSError) -> str:
    if error.errno == errno.ENOENT:
        return "zone directory '%s' does not exist" % directory
    code = errno.errorcode.get(error.errno or 0, str(error.errno))
    return "zone directory '%s' cannot be read (%s)" % (directory, code)


def is_own_directory(info: os.stat_result) -> bool:
    return stat.S_ISDIR(info.st_mode) and info.st_uid == os.geteuid()


def find_place(zone_dir: Optional[str]) -> Place:
    """The directory the engines would use, found without making it."""
    if zone_dir is not None:
        if not zone_dir.startswith("/"):
            raise CommandError("zone directory '%s' is not an absolute path" % zone_dir)
        try:
            info = os.lstat(zone_dir)
        except OSError as error:
            raise CommandError(directory_problem(zone_dir, error))
        if not is_own_directory(info) or info.st_mode & 0o022:
            raise CommandError("zone directory '%s' is not a directory of yours that others "
                               "cannot write" % zone_dir)
        return Place(zone_dir, True, zone_dir)
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    if runtime.startswith("/"):
        try:
            info = os.lstat(runtime)
            if is_own_directory(info) and not info.st_mode & 0o077:
                return Place(runtime, True, None)
        except OSError:
            pass
    first = "/dev/shm/vorn-%d" % os.geteuid()
    for attempt in range(DEFAULT_DIRECTORY_TRIES):
        path = first if attempt == 0 else "%s.%d" % (first, attempt)
        try:
            info = os.lstat(path)
        except FileNotFoundError:
            return Place(path, False, None)
        if is_own_directory(info):
            return Place(path, True, None)
    raise CommandError("'%s' and the names after it belong to other users; name a directory "
                       "of your own with --zone-dir" % first)


def problem_of(name: str, error: Exception) -> str:
    text = str(error)
    prefix = "zone '%s': " % name
    return text[len(prefix):] if text.startswith(prefix) else text


def describe(place: Place, name: str, layout: int, path: str) -> Dict[str, Any]:
    """One zone file as the command shows it; only files of this layout are opened."""
    from vorn_native import ZoneError

    entry: Dict[str, Any] = {"name": name, "layout": layout, "path": path}
    if layout != ZONE_LAYOUT:
        entry["state"] = "old layout" if layout < ZONE_LAYOUT else "newer layout"
        return entry
    try:
        stats = zone_stats(name, place.zone_dir)
    except ZoneError as error:
        entry["state"] = "unusable"
        entry["problem"] = problem_of(name, error)
        return entry
    entry["path"] = stats["path"]
    entry["state"] = "ok"
    for field in STAT_FIELDS:
        entry[field] = stats[field]
    return entry


def list_zones(place: Place) -> List[Dict[str, Any]]:
    if not place.exists:
        return []
    try:
        file_names = os.listdir(place.directory)
    except OSError as error:
        raise CommandError(directory_problem(place.directory, error))
    found = []
    for file_name in file_names:
        match = ZONE_FILE.match(file_name)
        if match is None:
            continue
        path = place.directory + "/" + file_name
        try:
            if not stat.S_ISREG(os.lstat(path).st_mode):
                continue
        except FileNotFoundError:  # removed since the listing
            continue
        found.append((match.group(1), int(match.group(2)), path))
    found.sort()
    return [describe(place, name, layout, path) for name, layout, path in found]


def show_zone(place: Place, name: str) -> Dict[str, Any]:
    path = place.directory + "/vorn.%s.zone-v%d" % (name, ZONE_LAYOUT)
    if not place.exists or not os.path.lexists(path):
        raise CommandError("no zone '%s' in %s" % (name, place.directory))
    entry = describe(place, name, ZONE_LAYOUT, path)
    if entry["state"] != "ok":
        raise CommandError("zone '%s': %s" % (name, entry["problem"]))
    return entry


def delete_zone(place: Place, name: str) -> Dict[str, Any]:
    path = place.directory + "/vorn.%s.zone-v%d" % (name, ZONE_LAYOUT)
    if not place.exists or not remove_zone(name, place.zone_dir):
        raise CommandError("no zone '%s' in %s" % (name, place.directory))
    return {"name": name, "path": path, "removed": True}


def size_text(size: int) -> str:
    for unit, bytes_in_unit in SIZE_UNITS:
        if size >= bytes_in_unit and size % bytes_in_unit == 0:
            return "%d %s" % (size // bytes_in_unit, unit)
    return "%d bytes" % size


def note_of(entry: Dict[str, Any]) -> str:
    if entry["state"] == "unusable":
        return "unusable: " + entry["problem"]
    return "%s (v%d), not opened" % (entry["state"], entry["layout"])


def table_row(entry: Dict[str, Any]) -> List[str]:
    if entry["state"] != "ok":
        return [entry["name"], note_of(entry)]
    figures = [entry[field] for field in ("keys", "capacity", "evictions", "repairs", "configs")]
    return [entry["name"], size_text(entry["size_bytes"])] + [str(figure) for figure in figures]


def zones_text(directory: str, entries: List[Dict[str, Any]]) -> str:
    if not entries:
        return "no zones in %s\n" % directory
    rows = [list(TABLE_COLUMNS)] + [table_row(entry) for entry in entries]
    # A file listed by its name alone has a note after its name instead of figures.
    full_rows = [row for row in rows if len(row) == len(TABLE_COLUMNS)]
    widths = [max(len(row[0]) for row in rows)]
    widths += [max(len(row[column]) for row in full_rows)
               for column in range(1, len(TABLE_COLUMNS))]
    lines = ["zones in %s" % directory]
    for row in rows:
        cells = [row[0].ljust(widths[0])]
        if len(row) == len(TABLE_COLUMNS):
            cells += [cell.rjust(width) for cell, width in zip(row[1:], widths[1:])]
        else:
            cells.append(row[1])
        lines.append("  ".join(cells))
    return "\n".join(lines) + "\n"


def zone_text(entry: Dict[str, Any]) -> str:
    values = {
        "path": entry["path"],
        "size": "%s (%d bytes)" % (size_text(entry["size_bytes"]), entry["size_bytes"]),
        "keys": "%d of %d" % (entry["keys"], entry["capacity"]),
    }
    lines = ["zone %s" % entry["name"]]
    for field in DETAIL_FIELDS:
        lines.append("  " + field.ljust(14) + str(values.get(field, entry.get(field))))
    return "\n".join(lines) + "\n"


def run(request: Request) -> str:
    """The output of `request`; raises CommandError."""
    place = find_place(request.zone_dir)
    if request.command == "zones":
        entries = list_zones(place)
        if request.as_json:
            return to_json({"directory": place.directory, "zones": entries})
        return zones_text(place.directory, entries)
    assert request.name is not None
    if request.command == "zone":
        entry = show_zone(place, request.name)
        return to_json(entry) if request.as_json else zone_text(entry)
    removed = delete_zone(place, request.name)
    if request.as_json:
        return to_json(removed)
    return "removed zone '%s' (%s)\n" % (removed["name"], removed["path"])


def to_json(value: Any) -> str:
    # The layout JSON.stringify(value, null, 2) gives, so both hosts print the same.
    return json.dumps(value, indent=2, ensure_ascii=False) + "\n"


def main(args: Sequence[str], prog: str = "python -m vorn", out: TextIO = sys.stdout,
         err: TextIO = sys.stderr) -> int:
    """Runs the command that `args` name; returns the exit status (0 done, 1
    failed or missing zone, 2 bad arguments), with one line on `err` when not 0."""
    try:
        from vorn_native import ZoneError
    except ImportError as error:
        err.write("vorn: cannot load the native module: %s\n" % error)
        return 1
    try:
        request = parse_arguments(args)
        if request is None:
            out.write(USAGE.format(prog=prog) + "\n")
            return 0
        out.write(run(request))
        return 0
    except CommandError as error:
        usage = "; run '%s --help' for how to use it" % prog if error.status == 2 else ""
        err.write("vorn: %s%s\n" % (error, usage))
        return error.status
    except (ZoneError, OSError) as error:
        err.write("vorn: %s\n" % error)
        return 1
