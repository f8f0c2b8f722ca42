// What both Node classes count: stats() -> { allowed, refused, shadowRefused,
// disabled, fallback } (this engine's checks since it was made) and
// nameCounts(name), the name a zone engine's counts go under in its zone.
// Each fails as an unwrap for a receiver that is not an instance; a name that
// is not 1 to 48 UTF-8 bytes is an Error with code "InvalidArg". Run on the
// JavaScript thread of their environment.
#pragma once

#include "core/check_counts.h"
#include "ffi/napi_boundary.h"

namespace vorn::ffi {

napi_value stats_entry(napi_env env, napi_callback_info info);
napi_value name_counts_entry(napi_env env, napi_callback_info info);
// processCounts() -> [{ name, zone, zoneDir, counts, degraded }]: the checks of every
// engine this process has made, gone ones included, by name and store (zone
// null in process).
napi_value process_counts_entry(napi_env env, napi_callback_info info);

// A new object of `counts`, as stats() returns it.
Expected<napi_value> counts_object(napi_env env, const CheckCounts& counts);

}  // namespace vorn::ffi
