// The module's functions for shared-memory zones, remove_zone(name) and
// zone_stats(name), and the registration of every zone name on the module
// (ZoneEngine, ZoneError and the two functions; none of them in __all__).
//
// Thread-safety: requires the GIL.
#pragma once

#include "python_api.h"

namespace vorn::python {

// Sets the zone names as attributes of `module`. Throws PyError.
void add_zone_names(PyObject* module);

}  // namespace vorn::python
