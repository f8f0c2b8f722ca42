// The module's functions for shared-memory zones, remove_zone(name,
// zone_dir=None) and zone_stats(name, zone_dir=None), the dict that tells a
// zone's counters, and the registration of every zone name on the module
// (ZoneEngine, ZoneError and the two functions; none of them in __all__).
//
// Thread-safety: requires the GIL.
#pragma once

#include <optional>
#include <string>

#include "py_ref.h"
#include "python_api.h"

namespace vorn::zone {
struct ZoneStats;
}  // namespace vorn::zone

namespace vorn::python {

// Sets the zone names as attributes of `module`. Throws PyError.
void add_zone_names(PyObject* module);

// zone_dir: None gives nothing; a str is encoded as os.fsencode() does, so a
// path that os.fsdecode() made reaches the file system as the bytes it came
// from. Anything else raises extract_text's TypeError. Throws PyError.
std::optional<std::string> extract_zone_dir(PyObject* object);

// A new dict of `stats`: keys, capacity, evictions, reclaimed, recoveries,
// repairs, replacements, size_bytes, configs and path. Throws PyError.
PyRef zone_stats_dict(const zone::ZoneStats& stats);

}  // namespace vorn::python
