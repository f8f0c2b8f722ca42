#include "ffi/zone_options.h"

#include <cmath>
#include <utility>

#include "algorithms/numeric.h"
#include "ffi/node_bridge.h"

namespace vorn::ffi {
namespace {

napi_valuetype type_of(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  napi_typeof(env, value, &type);
  return type;
}

// zoneSize: a whole number of bytes, not below 0. One of 2^64 or more is
// passed on as the largest, which the zone refuses as too large, as it
// refuses one below its minimum.
Expected<std::optional<uint64_t>> read_zone_size(napi_env env, napi_value object) {
  Expected<std::optional<napi_value>> given = get(env, object, "zoneSize");
  if (!given.ok()) return std::move(given.error());
  if (!given.value()) return std::optional<uint64_t>();
  const napi_value value = *given.value();
  if (type_of(env, value) != napi_number) {
    return refused_argument(env, napi_create_type_error, msg::kZoneSizeNotWhole, value);
  }
  double size = 0;
  napi_get_value_double(env, value, &size);
  if (!(size >= 0) || std::isinf(size) || std::trunc(size) != size) {
    return refused_argument(env, napi_create_range_error, msg::kZoneSizeNotWhole, value);
  }
  return std::optional<uint64_t>(to_u64_saturating(size));
}

// onError: one of the three policy names, as the Redis engine takes it.
Expected<FailurePolicy> read_failure_policy(napi_env env, napi_value object) {
  Expected<std::optional<napi_value>> given = get(env, object, "onError");
  if (!given.ok()) return std::move(given.error());
  if (!given.value()) return FailurePolicy::Local;
  const napi_value value = *given.value();
  if (type_of(env, value) == napi_string) {
    Expected<std::string> name = from_napi_value<std::string>(env, value);
    if (!name.ok()) return std::move(name.error());
    if (const std::optional<FailurePolicy> policy = failure_policy_from_name(name.value())) {
      return *policy;
    }
  }
  return refused_argument(env, napi_create_type_error, msg::kOnErrorChoices, value);
}

// logger: an object with a warn method; absent (or null), the global console.
MaybeError read_logger(napi_env env, napi_value object, Reference& logger) {
  Expected<std::optional<napi_value>> given = get(env, object, "logger");
  if (!given.ok()) return std::move(given.error());
  napi_value value = nullptr;
  if (given.value() && type_of(env, *given.value()) != napi_null) {
    value = *given.value();
    const napi_valuetype type = type_of(env, value);
    napi_value warn = nullptr;
    if ((type != napi_object && type != napi_function) ||
        napi_get_named_property(env, value, "warn", &warn) != napi_ok ||
        type_of(env, warn) != napi_function) {
      return refused_argument(env, napi_create_type_error, msg::kLoggerWithoutWarn, value);
    }
  } else {
    napi_value global = nullptr;
    napi_status status = napi_get_global(env, &global);
    if (status == napi_ok) status = napi_get_named_property(env, global, "console", &value);
    if (status != napi_ok) return make_error(status, msg::kGetGlobal);
  }
  const napi_status status = Reference::create(env, value, logger);
  if (status != napi_ok) return make_error(status, msg::kCreateReference);
  return std::nullopt;
}

}  // namespace

Expected<ZoneOptions> read_zone_options(napi_env env, napi_value object) {
  ZoneOptions options;
  Expected<std::optional<napi_value>> zone = get(env, object, "zone");
  if (!zone.ok()) return std::move(zone.error());
  if (!zone.value().has_value()) return make_error(napi_invalid_arg, msg::kZoneRequired);
  Expected<std::string> name = from_napi_value<std::string>(env, *zone.value());
  if (!name.ok()) {
    Error error = on_config_property(std::move(name.error()), "zone");
    error.status = napi_invalid_arg;
    return error;
  }
  options.zone = std::move(name.value());
  Expected<std::optional<uint64_t>> size = read_zone_size(env, object);
  if (!size.ok()) return std::move(size.error());
  options.zone_size = size.value();
  Expected<std::optional<napi_value>> dir = get(env, object, "zoneDir");
  if (!dir.ok()) return on_config_property(std::move(dir.error()), "zoneDir");
  if (dir.value()) {
    Expected<std::string> text = from_napi_value<std::string>(env, *dir.value());
    if (!text.ok()) return on_config_property(std::move(text.error()), "zoneDir");
    options.zone_dir = std::move(text.value());
  }
  Expected<FailurePolicy> policy = read_failure_policy(env, object);
  if (!policy.ok()) return std::move(policy.error());
  options.on_error = policy.value();
  if (MaybeError failure = read_logger(env, object, options.logger)) return std::move(*failure);
  return options;
}


}  // namespace vorn::ffi
