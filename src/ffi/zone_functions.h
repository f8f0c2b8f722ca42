// The addon's functions for shared-memory zones: removeZone(name) -> boolean
// and zoneStats(name) -> { keys, capacity, evictions, reclaimed, recoveries,
// sizeBytes, configs }. A name that is not a string, or not a valid zone name,
// throws an Error with code "InvalidArg"; a zone's failure one with code
// "ZoneError". Run on the JavaScript thread of their environment.
#pragma once

#include "ffi/napi_boundary.h"

namespace vorn::ffi {

// Puts both functions on `exports`.
MaybeError register_zone_functions(napi_env env, napi_value exports);

}  // namespace vorn::ffi
