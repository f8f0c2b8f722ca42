// The zone options of a VornZoneNode's config: zone, zoneSize, zoneDir,
// onError and logger, read after the NodeConfig's own. Run on the JavaScript
// thread of their environment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ffi/napi_boundary.h"
#include "zone/zone_placement.h"

namespace vorn::ffi {

struct ZoneOptions {
  std::string zone;
  std::optional<uint64_t> zone_size;
  std::optional<std::string> zone_dir;
  FailurePolicy on_error = FailurePolicy::Local;
  Reference logger;  // absent (or null) in the config: the global console
};

// Reads them in that order and stops at the first failure: a missing or
// unusable zone name is an InvalidArg Error; a zoneSize, onError or logger
// that cannot be used a TypeError or RangeError naming the value.
Expected<ZoneOptions> read_zone_options(napi_env env, napi_value object);

}  // namespace vorn::ffi
