#include "ffi/sync_bridge.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "algorithms/numeric.h"
#include "core/engine.h"
#include "ffi/node_bridge.h"

namespace vorn::ffi {
namespace {

// The texts a synced engine's calls can fail with, together.
constexpr std::string_view kNotSynced = "{} needs a synced VornNode";
constexpr std::string_view kSettingsNotObject = "sync settings must be an object, not {}";
constexpr std::string_view kOvershootRange = "maxOvershoot must be a number from 0 to 1, not {}";
constexpr std::string_view kMaxKeysRange = "maxKeys must be a whole number >= 1, not {}";
constexpr std::string_view kIntervalRange = "intervalMs must be a whole number >= 1, not {}";
constexpr std::string_view kZoneTextOption = "{} must be a string";
constexpr std::string_view kZoneSizeOption = "zoneSize must be a whole number of bytes, not {}";
constexpr std::string_view kNotArray = "{} must be an array";
constexpr std::string_view kAnswerShape =
    "each answer must be an array of a lease and two numbers per rate";

Error invalid(std::string_view text, std::initializer_list<std::string_view> fills = {}) {
  return Error{napi_invalid_arg, msg::fill_template(text, fills), {}};
}

Expected<bool> is_array(napi_env env, napi_value value) {
  bool array = false;
  const napi_status status = napi_is_array(env, value, &array);
  if (status != napi_ok) return Error{status, {}, {}};
  return array;
}

// The store of the synced VornNode `value`, for the function `called`.
Expected<const SyncStore*> store_of(napi_env env, napi_value value, std::string_view called) {
  Expected<const VornNode*> node = unwrap_node(env, value);
  if (!node.ok()) return std::move(node.error());
  const SyncStore* store = node.value()->engine().sync_store();
  if (store == nullptr) return invalid(kNotSynced, {called});
  return store;
}

Expected<double> number_at(napi_env env, napi_value array, uint32_t index) {
  napi_value element = nullptr;
  napi_status status = napi_get_element(env, array, index, &element);
  if (status != napi_ok) return Error{status, {}, {}};
  return from_napi_value<double>(env, element);
}

Expected<uint32_t> length_of(napi_env env, napi_value value, std::string_view what) {
  Expected<bool> array = is_array(env, value);
  if (!array.ok()) return std::move(array.error());
  if (!array.value()) return invalid(kNotArray, {what});
  uint32_t length = 0;
  const napi_status status = napi_get_array_length(env, value, &length);
  if (status != napi_ok) return Error{status, {}, {}};
  return length;
}

Expected<napi_value> number_value(napi_env env, double value) {
  napi_value made = nullptr;
  const napi_status status = napi_create_double(env, value, &made);
  if (status != napi_ok) return Error{status, {}, {}};
  return made;
}

// One report as [key, extra, unused, want, reset, leaseTimeMs].
Expected<napi_value> report_value(napi_env env, const SyncReport& report) {
  napi_value row = nullptr;
  napi_status status = napi_create_array_with_length(env, 6, &row);
  if (status != napi_ok) return Error{status, {}, {}};
  Expected<napi_value> key = to_napi_value(env, std::string_view(report.key));
  if (!key.ok()) return std::move(key.error());
  status = napi_set_element(env, row, 0, key.value());
  const double numbers[] = {report.extra, report.unused, report.want, report.reset ? 1.0 : 0.0,
                            static_cast<double>(report.lease_time_ms)};
  for (uint32_t at = 0; status == napi_ok && at < 5; ++at) {
    Expected<napi_value> number = number_value(env, numbers[at]);
    if (!number.ok()) return std::move(number.error());
    status = napi_set_element(env, row, at + 1, number.value());
  }
  if (status != napi_ok) return Error{status, {}, {}};
  return row;
}

Expected<SyncAnswer> answer_of(napi_env env, napi_value value, size_t rate_count) {
  Expected<uint32_t> length = length_of(env, value, "an answer");
  if (!length.ok()) return std::move(length.error());
  if (length.value() != 1 + 2 * rate_count) return invalid(kAnswerShape);
  SyncAnswer answer;
  answer.states.reserve(2 * rate_count);
  for (uint32_t at = 0; at < length.value(); ++at) {
    Expected<double> number = number_at(env, value, at);
    if (!number.ok()) return invalid(kAnswerShape);
    if (at == 0) {
      answer.lease = number.value();
    } else {
      answer.states.push_back(number.value());
    }
  }
  return answer;
}

// Whether `value` is true itself (nothing is coerced).
Expected<bool> is_true(napi_env env, napi_value value) {
  napi_value truth = nullptr;
  bool same = false;
  napi_status status = napi_get_boolean(env, true, &truth);
  if (status == napi_ok) status = napi_strict_equals(env, value, truth, &same);
  if (status != napi_ok) return Error{status, {}, {}};
  return same;
}

Expected<napi_value> undefined(napi_env env) {
  napi_value value = nullptr;
  const napi_status status = napi_get_undefined(env, &value);
  if (status != napi_ok) return Error{status, {}, {}};
  return value;
}

napi_value sync_reports_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<2>> call = CallbackInfo<2>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    Expected<const SyncStore*> store = store_of(env, call.value().args[0], "syncReports");
    if (!store.ok()) return std::move(store.error());
    Expected<bool> closing = is_true(env, call.value().args[1]);
    if (!closing.ok()) return std::move(closing.error());
    const std::vector<SyncReport> reports = store.value()->reports(closing.value());
    napi_value rows = nullptr;
    napi_status status = napi_create_array_with_length(env, reports.size(), &rows);
    if (status != napi_ok) return Error{status, {}, {}};
    for (uint32_t at = 0; at < reports.size(); ++at) {
      Expected<napi_value> row = report_value(env, reports[at]);
      if (!row.ok()) return std::move(row.error());
      status = napi_set_element(env, rows, at, row.value());
      if (status != napi_ok) return Error{status, {}, {}};
    }
    return rows;
  });
}

napi_value sync_apply_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<4>> call = CallbackInfo<4>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    const auto& args = call.value().args;
    Expected<const SyncStore*> store = store_of(env, args[0], "syncApply");
    if (!store.ok()) return std::move(store.error());
    Expected<double> now = from_napi_value<double>(env, args[1]);
    if (!now.ok()) return std::move(now.error());
    Expected<double> instances = from_napi_value<double>(env, args[2]);
    if (!instances.ok()) return std::move(instances.error());
    Expected<uint32_t> count = length_of(env, args[3], "answers");
    if (!count.ok()) return std::move(count.error());
    std::vector<SyncAnswer> answers;
    answers.reserve(count.value());
    for (uint32_t at = 0; at < count.value(); ++at) {
      napi_value element = nullptr;
      const napi_status status = napi_get_element(env, args[3], at, &element);
      if (status != napi_ok) return Error{status, {}, {}};
      Expected<SyncAnswer> answer = answer_of(env, element, store.value()->rate_count());
      if (!answer.ok()) return std::move(answer.error());
      answers.push_back(std::move(answer.value()));
    }
    const uint64_t live = std::max<uint64_t>(1, to_u64_saturating(instances.value()));
    store.value()->apply(to_u64_saturating(now.value()), live, answers);
    return undefined(env);
  });
}

napi_value sync_failed_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<1>> call = CallbackInfo<1>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    Expected<const SyncStore*> store = store_of(env, call.value().args[0], "syncFailed");
    if (!store.ok()) return std::move(store.error());
    store.value()->failed();
    return undefined(env);
  });
}

napi_value sync_turn_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<1>> call = CallbackInfo<1>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    Expected<const SyncStore*> store = store_of(env, call.value().args[0], "syncTurn");
    if (!store.ok()) return std::move(store.error());
    return to_napi_value(env, store.value()->sync_turn());
  });
}

napi_value sync_degraded_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<1>> call = CallbackInfo<1>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    Expected<const SyncStore*> store = store_of(env, call.value().args[0], "syncDegraded");
    if (!store.ok()) return std::move(store.error());
    return to_napi_value(env, store.value()->degraded());
  });
}

napi_value set_degraded_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<2>> call = CallbackInfo<2>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    Expected<const SyncStore*> store = store_of(env, call.value().args[0], "setSyncDegraded");
    if (!store.ok()) return std::move(store.error());
    Expected<bool> degraded = is_true(env, call.value().args[1]);
    if (!degraded.ok()) return std::move(degraded.error());
    store.value()->set_degraded(degraded.value());
    return undefined(env);
  });
}

}  // namespace

Expected<std::optional<SyncSettings>> read_sync_settings(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  napi_status status = napi_typeof(env, value, &type);
  if (status != napi_ok) return Error{status, {}, {}};
  if (type == napi_undefined) return std::optional<SyncSettings>{};
  if (type != napi_object) {
    Expected<std::string> described = describe_value(env, value);
    return invalid(kSettingsNotObject, {described.ok() ? described.value() : "?"});
  }
  SyncSettings settings;
  const auto whole = [](double read) {
    return read >= 1 && read < 1e15 && std::floor(read) == read;
  };
  for (const char* name : {"maxOvershoot", "intervalMs", "maxKeys"}) {
    Expected<std::optional<napi_value>> option = get(env, value, name);
    if (!option.ok()) return std::move(option.error());
    if (!option.value()) continue;
    Expected<double> number = from_napi_value<double>(env, *option.value());
    const double read = number.ok() ? number.value() : NAN;
    const std::string_view which = name;
    if (which == "maxOvershoot") {
      if (!(read >= 0 && read <= 1)) return invalid(kOvershootRange, {format_count(read)});
      settings.max_overshoot = read;
    } else if (which == "intervalMs") {
      if (!whole(read)) return invalid(kIntervalRange, {format_count(read)});
      settings.interval_ms = static_cast<uint64_t>(read);
    } else {
      if (!whole(read)) return invalid(kMaxKeysRange, {format_count(read)});
      settings.max_keys = static_cast<size_t>(read);
    }
  }
  std::optional<std::string> texts[3];
  const char* const text_names[] = {"zone", "zoneDir", "zoneScope"};
  for (size_t i = 0; i < 3; ++i) {
    Expected<std::optional<napi_value>> option = get(env, value, text_names[i]);
    if (!option.ok()) return std::move(option.error());
    if (!option.value()) continue;
    Expected<std::string> text = from_napi_value<std::string>(env, *option.value());
    if (!text.ok()) return invalid(kZoneTextOption, {text_names[i]});
    texts[i] = std::move(text.value());
  }
  if (texts[0]) {
    settings.zone = ZonePlacement{std::move(*texts[0]), std::nullopt, std::move(texts[1]),
                                  FailurePolicy::Local};
    settings.zone_scope = texts[2].value_or("");
    Expected<std::optional<napi_value>> size = get(env, value, "zoneSize");
    if (!size.ok()) return std::move(size.error());
    if (size.value()) {
      Expected<double> bytes = from_napi_value<double>(env, *size.value());
      const double read = bytes.ok() ? bytes.value() : NAN;
      if (!whole(read)) return invalid(kZoneSizeOption, {format_count(read)});
      settings.zone->size_bytes = static_cast<uint64_t>(read);
    }
  }
  return std::optional<SyncSettings>{settings};
}

MaybeError register_sync_functions(napi_env env, napi_value exports) {
  Expected<std::optional<napi_value>> owner = get(env, exports, "VornNode");
  if (!owner.ok()) return std::move(owner.error());
  if (!owner.value()) return make_error(napi_generic_failure, msg::kMissingEnvironmentData);
  const std::pair<const char*, napi_callback> functions[] = {
      {"syncReports", sync_reports_entry},
      {"syncApply", sync_apply_entry},
      {"syncFailed", sync_failed_entry},
      {"syncTurn", sync_turn_entry},
      {"syncDegraded", sync_degraded_entry},
      {"setSyncDegraded", set_degraded_entry},
  };
  std::vector<napi_property_descriptor> properties;
  for (const auto& [name, callback] : functions) {
    properties.push_back({.utf8name = name,
                          .name = nullptr,
                          .method = callback,
                          .getter = nullptr,
                          .setter = nullptr,
                          .value = nullptr,
                          .attributes = napi_default,
                          .data = nullptr});
  }
  const napi_status status =
      napi_define_properties(env, *owner.value(), properties.size(), properties.data());
  if (status != napi_ok) return Error{status, {}, {}};
  return std::nullopt;
}

}  // namespace vorn::ffi
