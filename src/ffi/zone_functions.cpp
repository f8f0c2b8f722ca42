#include "ffi/zone_functions.h"

#include <string>
#include <utility>

#include "zone/zone_mapping.h"

namespace vorn::ffi {
namespace {

// The first argument as a zone name; any failure is an InvalidArg.
Expected<std::string> zone_name_argument(napi_env env, napi_callback_info info) {
  Expected<CallbackInfo<1>> call = CallbackInfo<1>::fetch(env, info);
  if (!call.ok()) return std::move(call.error());
  Expected<std::string> name = from_napi_value<std::string>(env, call.value().args[0]);
  if (!name.ok()) {
    name.error().status = napi_invalid_arg;
    return std::move(name.error());
  }
  return std::move(name.value());
}

napi_value remove_zone_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<std::string> name = zone_name_argument(env, info);
    if (!name.ok()) return std::move(name.error());
    return to_napi_value(env, zone::remove_zone(name.value()));
  });
}

napi_value zone_stats_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<std::string> name = zone_name_argument(env, info);
    if (!name.ok()) return std::move(name.error());
    const zone::ZoneStats stats = zone::zone_stats(name.value());
    napi_value result = nullptr;
    napi_status status = napi_create_object(env, &result);
    if (status != napi_ok) return Error{status, {}, {}};
    const std::pair<const char*, uint64_t> fields[] = {
        {"keys", stats.keys},
        {"capacity", stats.capacity},
        {"evictions", stats.evictions},
        {"reclaimed", stats.reclaimed},
        {"recoveries", stats.recoveries},
        {"sizeBytes", stats.size_bytes},
        {"configs", stats.configs},
    };
    for (const auto& [field, value] : fields) {
      napi_value number = nullptr;
      status = napi_create_double(env, static_cast<double>(value), &number);
      if (status != napi_ok) return Error{status, {}, {}};
      if (MaybeError failure = set_property(env, result, field, number)) return std::move(*failure);
    }
    return result;
  });
}

}  // namespace

MaybeError register_zone_functions(napi_env env, napi_value exports) {
  const std::pair<const char*, napi_callback> functions[] = {
      {"removeZone", remove_zone_entry},
      {"zoneStats", zone_stats_entry},
  };
  for (const auto& [name, callback] : functions) {
    napi_value function = nullptr;
    const napi_status status =
        napi_create_function(env, name, NAPI_AUTO_LENGTH, callback, nullptr, &function);
    if (status != napi_ok) return Error{status, {}, {}};
    if (MaybeError failure = set_property(env, exports, name, function)) return failure;
  }
  return std::nullopt;
}

}  // namespace vorn::ffi
