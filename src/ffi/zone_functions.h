// The addon's functions for shared-memory zones: removeZone(name, zoneDir?)
// -> boolean and zoneStats(name, zoneDir?) -> { keys, capacity, evictions,
// reclaimed, recoveries, repairs, replacements, sizeBytes, configs, path }. A
// name or directory that is not a string, or not a valid zone name, throws an
// Error with code "InvalidArg"; a zone's failure one with code "ZoneError".
// Run on the JavaScript thread of their environment.
#pragma once

#include "ffi/napi_boundary.h"

namespace vorn::zone {
struct ZoneStats;
}  // namespace vorn::zone

namespace vorn::ffi {

// Puts both functions on `exports`.
MaybeError register_zone_functions(napi_env env, napi_value exports);

// The members of a VornZoneNode: the getters degraded and degradedReason, and
// zoneStats(). Each fails as an unwrap for a receiver that is not a VornZoneNode.
napi_value zone_degraded_entry(napi_env env, napi_callback_info info);
napi_value zone_degraded_reason_entry(napi_env env, napi_callback_info info);
napi_value zone_stats_member_entry(napi_env env, napi_callback_info info);

// A new object of `stats`, as zoneStats returns it.
Expected<napi_value> zone_stats_object(napi_env env, const zone::ZoneStats& stats);

}  // namespace vorn::ffi
