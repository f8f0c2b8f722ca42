#include "ffi/engine_counts.h"

#include <optional>
#include <string>
#include <vector>
#include <utility>

#include "core/count_registry.h"
#include "ffi/node_bridge.h"
#include "zone/zone_meters.h"

namespace vorn::ffi {
namespace {

Expected<napi_value> undefined(napi_env env) {
  napi_value value = nullptr;
  const napi_status status = napi_get_undefined(env, &value);
  if (status != napi_ok) return Error{status, {}, {}};
  return value;
}

}  // namespace

Expected<napi_value> counts_object(napi_env env, const CheckCounts& counts) {
  napi_value result = nullptr;
  napi_status status = napi_create_object(env, &result);
  if (status != napi_ok) return Error{status, {}, {}};
  const std::pair<const char*, CheckOutcomeKind> fields[] = {
      {"allowed", CheckOutcomeKind::Allowed},
      {"refused", CheckOutcomeKind::Refused},
      {"shadowRefused", CheckOutcomeKind::ShadowRefused},
      {"disabled", CheckOutcomeKind::Disabled},
      {"fallback", CheckOutcomeKind::ByPolicy},
  };
  for (const auto& [field, kind] : fields) {
    napi_value number = nullptr;
    status = napi_create_double(env, static_cast<double>(counts[kind]), &number);
    if (status != napi_ok) return Error{status, {}, {}};
    if (MaybeError failure = set_property(env, result, field, number)) return std::move(*failure);
  }
  return result;
}

napi_value stats_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<1>> call = CallbackInfo<1>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    Expected<const VornNode*> node = unwrap_node(env, call.value().self);
    if (!node.ok()) return std::move(node.error());
    return counts_object(env, node.value()->engine().check_counts());
  });
}

napi_value name_counts_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<1>> call = CallbackInfo<1>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    Expected<const VornNode*> node = unwrap_node(env, call.value().self);
    if (!node.ok()) return std::move(node.error());
    Expected<std::string> name = from_napi_value<std::string>(env, call.value().args[0]);
    if (!name.ok()) {
      name.error().status = napi_invalid_arg;
      return std::move(name.error());
    }
    if (!zone::valid_meter_name(name.value())) {
      return make_error(napi_invalid_arg, "name must be 1 to 48 UTF-8 bytes, not {}",
                        std::to_string(name.value().size()));
    }
    node.value()->engine().name_meter(name.value());
    return undefined(env);
  });
}

napi_value process_counts_entry(napi_env env, napi_callback_info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    const std::vector<ProcessCounts> read = CountRegistry::process().read();
    napi_value rows = nullptr;
    napi_status status = napi_create_array_with_length(env, read.size(), &rows);
    if (status != napi_ok) return Error{status, {}, {}};
    for (uint32_t at = 0; at < read.size(); ++at) {
      const ProcessCounts& each = read[at];
      napi_value row = nullptr;
      status = napi_create_object(env, &row);
      if (status != napi_ok) return Error{status, {}, {}};
      const std::pair<const char*, const std::optional<std::string>*> texts[] = {
          {"zone", &each.store.zone}, {"zoneDir", &each.store.zone_dir}};
      Expected<napi_value> name = to_napi_value(env, std::string_view(each.name));
      if (!name.ok()) return std::move(name.error());
      if (MaybeError failure = set_property(env, row, "name", name.value())) return std::move(*failure);
      for (const auto& [field, text] : texts) {
        napi_value value = nullptr;
        if (*text) {
          Expected<napi_value> made = to_napi_value(env, std::string_view(**text));
          if (!made.ok()) return std::move(made.error());
          value = made.value();
        } else if ((status = napi_get_null(env, &value)) != napi_ok) {
          return Error{status, {}, {}};
        }
        if (MaybeError failure = set_property(env, row, field, value)) return std::move(*failure);
      }
      Expected<napi_value> counts = counts_object(env, each.counts);
      if (!counts.ok()) return std::move(counts.error());
      if (MaybeError failure = set_property(env, row, "counts", counts.value())) {
        return std::move(*failure);
      }
      Expected<napi_value> degraded = to_napi_value(env, each.degraded);
      if (!degraded.ok()) return std::move(degraded.error());
      if (MaybeError failure = set_property(env, row, "degraded", degraded.value())) {
        return std::move(*failure);
      }
      status = napi_set_element(env, rows, at, row);
      if (status != napi_ok) return Error{status, {}, {}};
    }
    return rows;
  });
}

}  // namespace vorn::ffi
