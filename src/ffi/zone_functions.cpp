#include "ffi/zone_functions.h"

#include <optional>
#include <string>
#include <utility>

#include "ffi/engine_counts.h"
#include "ffi/node_bridge.h"
#include "zone/zone_connection.h"
#include "zone/zone_mapping.h"
#include "zone/zone_meters.h"

namespace vorn::ffi {
namespace {

// The zone's name and the directory it lives in (absent: the default place).
struct ZoneAddress {
  std::string name;
  std::optional<std::string> directory;
};

// A text argument; any failure is an InvalidArg.
Expected<std::string> text_argument(napi_env env, napi_value value) {
  Expected<std::string> text = from_napi_value<std::string>(env, value);
  if (!text.ok()) text.error().status = napi_invalid_arg;
  return text;
}

// (name, zoneDir?) from the call; zoneDir undefined means the default place.
Expected<ZoneAddress> zone_address_arguments(napi_env env, napi_callback_info info) {
  Expected<CallbackInfo<2>> call = CallbackInfo<2>::fetch(env, info);
  if (!call.ok()) return std::move(call.error());
  const auto& args = call.value().args;
  Expected<std::string> name = text_argument(env, args[0]);
  if (!name.ok()) return std::move(name.error());
  ZoneAddress address{std::move(name.value()), std::nullopt};
  napi_valuetype type = napi_undefined;
  const napi_status status = napi_typeof(env, args[1], &type);
  if (status != napi_ok) return Error{status, {}, {}};
  if (type != napi_undefined) {
    Expected<std::string> directory = text_argument(env, args[1]);
    if (!directory.ok()) return std::move(directory.error());
    address.directory = std::move(directory.value());
  }
  return address;
}

napi_value remove_zone_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<ZoneAddress> zone = zone_address_arguments(env, info);
    if (!zone.ok()) return std::move(zone.error());
    return to_napi_value(env, zone::remove_zone(zone.value().name, zone.value().directory));
  });
}

// { name: counts } of every engine's meter on the zone.
napi_value zone_counts_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<ZoneAddress> zone = zone_address_arguments(env, info);
    if (!zone.ok()) return std::move(zone.error());
    napi_value result = nullptr;
    const napi_status created = napi_create_object(env, &result);
    if (created != napi_ok) return Error{created, {}, {}};
    for (const zone::NamedCounts& each : zone::zone_meters(zone.value().name, zone.value().directory)) {
      Expected<napi_value> counts = counts_object(env, each.counts);
      if (!counts.ok()) return std::move(counts.error());
      // A name is a peer's bytes: defined as an own data property, so that
      // even "__proto__" is only a name here.
      const napi_property_descriptor property = {
          .utf8name = each.name.c_str(),
          .name = nullptr,
          .method = nullptr,
          .getter = nullptr,
          .setter = nullptr,
          .value = counts.value(),
          .attributes = static_cast<napi_property_attributes>(napi_writable | napi_enumerable |
                                                              napi_configurable),
          .data = nullptr,
      };
      const napi_status defined = napi_define_properties(env, result, 1, &property);
      if (defined != napi_ok) return Error{defined, {}, {}};
    }
    return result;
  });
}

napi_value zone_stats_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<ZoneAddress> zone = zone_address_arguments(env, info);
    if (!zone.ok()) return std::move(zone.error());
    return zone_stats_object(env, zone::zone_stats(zone.value().name, zone.value().directory));
  });
}

// The zone of `this`, only when it is a VornZoneNode this addon made.
Expected<const ZoneConnection*> receiver_zone(napi_env env, napi_callback_info info) {
  Expected<CallbackInfo<1>> call = CallbackInfo<1>::fetch(env, info);
  if (!call.ok()) return std::move(call.error());
  Expected<const VornNode*> node = unwrap_node(env, call.value().self);
  if (!node.ok() || node.value()->zone_connection() == nullptr) {
    return make_error(napi_invalid_arg, msg::kUnwrap, kZoneClassName);
  }
  return node.value()->zone_connection();
}

// JavaScript's null, for a zone member with nothing to tell.
Expected<napi_value> null_value(napi_env env) {
  napi_value null = nullptr;
  const napi_status status = napi_get_null(env, &null);
  if (status != napi_ok) return Error{status, {}, {}};
  return null;
}

}  // namespace

napi_value zone_degraded_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<const ZoneConnection*> zone = receiver_zone(env, info);
    if (!zone.ok()) return std::move(zone.error());
    return ffi::to_napi_value(env, zone.value()->degraded());
  });
}

napi_value zone_degraded_reason_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<const ZoneConnection*> zone = receiver_zone(env, info);
    if (!zone.ok()) return std::move(zone.error());
    const std::string reason = zone.value()->degraded_reason();
    if (!reason.empty()) return ffi::to_napi_value(env, std::string_view(reason));
    return null_value(env);
  });
}

napi_value zone_stats_member_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<const ZoneConnection*> zone = receiver_zone(env, info);
    if (!zone.ok()) return std::move(zone.error());
    if (const std::optional<zone::ZoneStats> stats = zone.value()->stats()) {
      return zone_stats_object(env, *stats);
    }
    return null_value(env);
  });
}


Expected<napi_value> zone_stats_object(napi_env env, const zone::ZoneStats& stats) {
  napi_value result = nullptr;
  napi_status status = napi_create_object(env, &result);
  if (status != napi_ok) return Error{status, {}, {}};
  const std::pair<const char*, uint64_t> fields[] = {
      {"keys", stats.keys},
      {"capacity", stats.capacity},
      {"evictions", stats.evictions},
      {"reclaimed", stats.reclaimed},
      {"recoveries", stats.recoveries},
      {"repairs", stats.repairs},
      {"replacements", stats.replacements},
      {"sizeBytes", stats.size_bytes},
      {"configs", stats.configs},
  };
  for (const auto& [field, value] : fields) {
    napi_value number = nullptr;
    status = napi_create_double(env, static_cast<double>(value), &number);
    if (status != napi_ok) return Error{status, {}, {}};
    if (MaybeError failure = set_property(env, result, field, number)) return std::move(*failure);
  }
  Expected<napi_value> path = to_napi_value(env, std::string_view(stats.path));
  if (!path.ok()) return std::move(path.error());
  if (MaybeError failure = set_property(env, result, "path", path.value())) {
    return std::move(*failure);
  }
  return result;
}

MaybeError register_zone_functions(napi_env env, napi_value exports) {
  const std::pair<const char*, napi_callback> functions[] = {
      {"removeZone", remove_zone_entry},
      {"zoneStats", zone_stats_entry},
      {"zoneCounts", zone_counts_entry},
      {"processCounts", process_counts_entry},
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
