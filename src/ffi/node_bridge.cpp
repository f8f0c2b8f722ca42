// The Node.js addon: registration, the VornNode class, its constructor, its
// receiver-based checkRequest, and refund and reset (the fast path is in
// check_fast_path.cpp, a zone's options in zone_options.cpp and the zone
// members in zone_functions.cpp).
#include "ffi/node_bridge.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "algorithms/numeric.h"
#include "core/engine.h"
#include "ffi/check_fast_path.h"
#include "ffi/engine_counts.h"
#include "ffi/limit_arguments.h"
#include "ffi/sync_bridge.h"
#include "ffi/zone_functions.h"
#include "ffi/zone_options.h"
#include "zone/zone_connection.h"

namespace vorn::ffi {
namespace {

// The class as JavaScript sees it. Constant-initialised, so it is in place as
// soon as the library is loaded, by Node.js or by CPython alike, without any
// Node-API call; registration reads it once per environment.
struct MethodDescription {
  const char* name;
  napi_callback callback;
};
struct ClassDescription {
  const char* name;
  napi_callback constructor;
  MethodDescription method;
  bool in_zone;  // with the zone's members: degraded, degradedReason, zoneStats()
};

napi_value construct_entry(napi_env env, napi_callback_info info);
napi_value construct_zone_entry(napi_env env, napi_callback_info info);
napi_value check_request_entry(napi_env env, napi_callback_info info);
napi_value refund_entry(napi_env env, napi_callback_info info);
napi_value reset_entry(napi_env env, napi_callback_info info);

constinit const ClassDescription kVornNodeClass = {
    .name = "VornNode",
    .constructor = construct_entry,
    .method = {.name = "checkRequest", .callback = check_request_entry},
    .in_zone = false,
};

// A VornNode whose state is in a shared-memory zone: the same native object
// and the same checkRequest, built from a NodeConfig with `zone`, `zoneSize`,
// `zoneDir`, `onError` and `logger`.
constinit const ClassDescription kVornZoneNodeClass = {
    .name = kZoneClassName,
    .constructor = construct_zone_entry,
    .method = {.name = "checkRequest", .callback = check_request_entry},
    .in_zone = true,
};

// Marks the objects this addon wrapped. Every Node-API addon shares one wrap
// slot, so an object another addon wrapped would otherwise unwrap into a
// pointer of some foreign type.
constexpr napi_type_tag kVornNodeTypeTag = {0x766f726e4e6f6465ULL, 0x9b2f1c4d83e5a071ULL};

// Builds a CheckResultNode object from its five values; reason is undefined
// when absent, and the property is then not created. One call of this function
// makes the object from a literal in a single step; five napi_set_named_property
// calls on a fresh object cost about five times as much (bench/node_bench.js).
constexpr char kResultFactorySource[] = R"js(
(function makeCheckResult(allowed, wouldBlock, reason, algorithm, debugInfo) {
  'use strict';
  return reason === undefined
      ? { allowed, wouldBlock, algorithm, debugInfo }
      : { allowed, wouldBlock, reason, algorithm, debugInfo };
}))js";

// What one environment keeps between calls; owned by the environment as its
// instance data and destroyed with it.
struct EnvironmentData {
  Reference constructor;
  Reference zone_constructor;
  // The symbol (on both classes, as `withRates`) that a
  // constructor's third argument must be for its second to be read as rates:
  // `new VornNode(config, rates, VornNode.withRates)`. Any other extra
  // argument is ignored, as it always was.
  Reference rates_marker;
  Reference result_factory;
  CheckFastPath check_fast_path;
};

void finalize_environment_data(napi_env, void* data, void*) {
  std::unique_ptr<EnvironmentData> owned(static_cast<EnvironmentData*>(data));
}

void finalize_node(napi_env, void* data, void*) {
  std::unique_ptr<VornNode> owned(static_cast<VornNode*>(data));
}

// Reads one optional option; absent stays absent.
template <typename T>
MaybeError read_option(napi_env env, napi_value object, const char* name, std::optional<T>& out) {
  Expected<std::optional<napi_value>> value = get(env, object, name);
  if (!value.ok()) return on_config_property(std::move(value.error()), name);
  if (!value.value().has_value()) return std::nullopt;
  Expected<T> converted = from_napi_value<T>(env, *value.value());
  if (!converted.ok()) return on_config_property(std::move(converted.error()), name);
  out = std::move(converted.value());
  return std::nullopt;
}

Expected<EnvironmentData*> environment_data(napi_env env) {
  void* data = nullptr;
  napi_status status = napi_get_instance_data(env, &data);
  if (status != napi_ok) return make_error(status, msg::kMissingEnvironmentData);
  if (data == nullptr) return make_error(napi_generic_failure, msg::kMissingEnvironmentData);
  return static_cast<EnvironmentData*>(data);
}

// The environment's data, created on the first registration in it. A second
// registration in the same environment (the file opened again) reuses it.
Expected<EnvironmentData*> ensure_environment_data(napi_env env) {
  void* existing = nullptr;
  napi_status status = napi_get_instance_data(env, &existing);
  if (status != napi_ok) return Error{status, {}, {}};
  if (existing != nullptr) return static_cast<EnvironmentData*>(existing);
  auto data = std::make_unique<EnvironmentData>();
  status = napi_set_instance_data(env, data.get(), finalize_environment_data, nullptr);
  if (status != napi_ok) return Error{status, {}, {}};
  return data.release();  // the environment owns it now
}

MaybeError create_result_factory(napi_env env, EnvironmentData& data) {
  if (data.result_factory) return std::nullopt;
  napi_value source = nullptr;
  napi_status status =
      napi_create_string_utf8(env, kResultFactorySource, sizeof(kResultFactorySource) - 1, &source);
  napi_value factory = nullptr;
  if (status == napi_ok) status = napi_run_script(env, source, &factory);
  if (status == napi_ok) status = Reference::create(env, factory, data.result_factory);
  if (status != napi_ok) return Error{status, {}, {}};
  return std::nullopt;
}

// Defines the class with no methods of its own and puts the method on the
// prototype as a plain function: a method of napi_define_class would get the
// runtime's receiver check, which answers a foreign `this` before the unwrap
// can, and would not be enumerable.
MaybeError register_class(napi_env env, napi_value exports, const ClassDescription& description,
                          Reference EnvironmentData::*constructor_slot) {
  Expected<EnvironmentData*> data = ensure_environment_data(env);
  if (!data.ok()) return std::move(data.error());
  napi_value constructor = nullptr;
  napi_status status =
      napi_define_class(env, description.name, NAPI_AUTO_LENGTH, description.constructor, nullptr,
                        0, nullptr, &constructor);
  if (status != napi_ok) return Error{status, {}, {}};
  napi_value prototype = nullptr;
  status = napi_get_named_property(env, constructor, "prototype", &prototype);
  if (status != napi_ok) return Error{status, {}, {}};
  // Made on the first registration in the environment and shared by later ones.
  CheckFastPath& fast_path = data.value()->check_fast_path;
  if (MaybeError failure = fast_path.create(env, description.method.name,
                                            description.method.callback, description.name)) {
    return failure;
  }
  const napi_property_descriptor method_property = {
      .utf8name = description.method.name,
      .name = nullptr,
      .method = nullptr,
      .getter = nullptr,
      .setter = nullptr,
      .value = fast_path.method(),
      .attributes = static_cast<napi_property_attributes>(napi_writable | napi_enumerable |
                                                          napi_configurable),
      .data = nullptr,
  };
  napi_property_descriptor limits_property = method_property;
  limits_property.utf8name = "checkLimits";
  limits_property.value = fast_path.limits_method();
  // Native methods, as the zone's zoneStats is: each unwraps `this`.
  napi_property_descriptor refund_property = method_property;
  refund_property.utf8name = "refund";
  refund_property.value = nullptr;
  refund_property.method = refund_entry;
  napi_property_descriptor reset_property = refund_property;
  reset_property.utf8name = "reset";
  reset_property.method = reset_entry;
  napi_property_descriptor stats_property = refund_property;
  stats_property.utf8name = "stats";
  stats_property.method = stats_entry;
  napi_property_descriptor name_counts_property = refund_property;
  name_counts_property.utf8name = "nameCounts";
  name_counts_property.method = name_counts_entry;
  const std::array<napi_property_descriptor, 6> methods = {
      method_property, limits_property,  refund_property,
      reset_property,  stats_property, name_counts_property};
  status = napi_define_properties(env, prototype, methods.size(), methods.data());
  if (status != napi_ok) return Error{status, {}, {}};
  if (MaybeError failure = fast_path.define_policies(env, prototype)) return failure;
  if (description.in_zone) {
    // Getters as a class's own are: not enumerable. Each unwraps `this`.
    napi_property_descriptor degraded = method_property;
    degraded.utf8name = "degraded";
    degraded.value = nullptr;
    degraded.getter = zone_degraded_entry;
    degraded.attributes = napi_configurable;
    napi_property_descriptor reason = degraded;
    reason.utf8name = "degradedReason";
    reason.getter = zone_degraded_reason_entry;
    napi_property_descriptor stats = method_property;
    stats.utf8name = "zoneStats";
    stats.value = nullptr;
    stats.method = zone_stats_member_entry;
    const std::array<napi_property_descriptor, 3> members = {degraded, reason, stats};
    status = napi_define_properties(env, prototype, members.size(), members.data());
    if (status != napi_ok) return Error{status, {}, {}};
  }
  status = Reference::create(env, constructor, data.value()->*constructor_slot);
  if (status != napi_ok) return Error{status, {}, {}};
  if (MaybeError failure = create_result_factory(env, *data.value())) return failure;
  return set_property(env, exports, description.name, constructor);
}

// Builds an instance in `self` for `description`: the NodeConfig, and for a
// zone class its zone options, then the native object and the fast path stamp.
template <bool kInZone>
Expected<napi_value> construct(napi_env env, napi_callback_info info,
                               const ClassDescription& description) {
  Expected<CallbackInfo<4>> call = CallbackInfo<4>::fetch(env, info);
  if (!call.ok()) return std::move(call.error());
  const napi_value self = call.value().self;
  // Called as a plain function, `this` is the global object (or whatever the
  // caller bound), which must not become an instance.
  napi_value new_target = nullptr;
  napi_status status = napi_get_new_target(env, info, &new_target);
  if (status != napi_ok) return Error{status, {}, {}};
  if (new_target == nullptr) {
    return make_error(napi_invalid_arg, msg::kWithoutNew, description.name);
  }
  Expected<NodeConfig> config = NodeConfig::from_napi_value(env, call.value().args[0]);
  if (!config.ok()) return std::move(config.error());
  std::optional<ZoneOptions> zone;
  if constexpr (kInZone) {
    Expected<ZoneOptions> options = read_zone_options(env, call.value().args[0]);
    if (!options.ok()) return std::move(options.error());
    zone = std::move(options.value());
  }
  Expected<EnvironmentData*> data = environment_data(env);
  if (!data.ok()) return std::move(data.error());
  bool with_rates = false;
  if (call.value().args[2] != nullptr) {
    status = napi_strict_equals(env, call.value().args[2], data.value()->rates_marker.value(),
                                &with_rates);
    if (status != napi_ok) return Error{status, {}, {}};
  }
  std::optional<std::vector<Rate>> read;
  if (with_rates) {
    Expected<std::optional<std::vector<Rate>>> rates = read_rates(env, call.value().args[1]);
    if (!rates.ok()) return std::move(rates.error());
    read = std::move(rates.value());
  }
  const std::vector<Rate>* given_rates = read ? &*read : nullptr;
  // A limit of rates may be synced through Redis (js/sync_engine.js).
  std::optional<SyncSettings> sync;
  if (with_rates && !kInZone) {
    Expected<std::optional<SyncSettings>> settings = read_sync_settings(env, call.value().args[3]);
    if (!settings.ok()) return std::move(settings.error());
    sync = settings.value();
  }

  const std::optional<std::string>& given = config.value().algorithm;
  const std::string_view algorithm = given ? std::string_view(*given) : kDefaultAlgorithm;
  Expected<napi_value> algorithm_text = ffi::to_napi_value(env, algorithm);
  if (!algorithm_text.ok()) return std::move(algorithm_text.error());

  auto node =
      zone ? std::make_unique<VornNode>(env, config.value(), given_rates,
                                        ZonePlacement{std::move(zone->zone), zone->zone_size,
                                                      std::move(zone->zone_dir), zone->on_error},
                                        std::move(zone->logger))
           : std::make_unique<VornNode>(config.value(), given_rates, sync ? &*sync : nullptr);
  VornNode* native = node.get();
  napi_ref wrapper = nullptr;
  status = napi_wrap(env, self, native, finalize_node, nullptr, &wrapper);
  if (status != napi_ok) return make_error(status, msg::kInitializeClass, "constructor");
  node.release()->set_wrapper(Reference(env, wrapper));  // the JavaScript object owns it now
  status = napi_type_tag_object(env, self, &kVornNodeTypeTag);
  if (status == napi_ok) {
    status = data.value()->check_fast_path.stamp(env, self, native, algorithm_text.value(),
                                                 native->engine().policies());
  }
  if (status != napi_ok) return make_error(status, msg::kInitializeClass, "constructor");
  // Opening the zone may have news already (a damaged zone replaced).
  if (native->zone_connection() != nullptr && native->zone_connection()->has_notices()) {
    native->log_notices();
  }
  return self;
}

// JavaScript's undefined, what a method with nothing to tell returns.
Expected<napi_value> undefined_value(napi_env env) {
  napi_value undefined = nullptr;
  const napi_status status = napi_get_undefined(env, &undefined);
  if (status != napi_ok) return Error{status, {}, {}};
  return undefined;
}

napi_value construct_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&] { return construct<false>(env, info, kVornNodeClass); });
}

napi_value construct_zone_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&] { return construct<true>(env, info, kVornZoneNodeClass); });
}

napi_value check_request_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<3>> call = CallbackInfo<3>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    const auto& [self, args] = call.value();
    Expected<const VornNode*> node = unwrap_node(env, self);
    if (!node.ok()) return std::move(node.error());
    Expected<std::string> ip = from_napi_value<std::string>(env, args[0]);
    if (!ip.ok()) return std::move(ip.error());
    Expected<std::string> route = from_napi_value<std::string>(env, args[1]);
    if (!route.ok()) return std::move(route.error());
    Expected<double> start = from_napi_value<double>(env, args[2]);
    if (!start.ok()) return std::move(start.error());
    Expected<EnvironmentData*> data = environment_data(env);
    if (!data.ok()) return std::move(data.error());

    const CheckResultNode result =
        node.value()->check_request(ip.value(), route.value(), start.value());
    return result.to_napi_value(env, data.value()->result_factory.value());
  });
}

// refund(key, cost = 1) and reset(key): undefined, once done.
napi_value refund_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<2>> call = CallbackInfo<2>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    const auto& [self, args] = call.value();
    Expected<const VornNode*> node = unwrap_node(env, self);
    if (!node.ok()) return std::move(node.error());
    Expected<std::string> key = from_napi_value<std::string>(env, args[0]);
    if (!key.ok()) return std::move(key.error());
    const VornEngine& engine = node.value()->engine();
    Expected<double> amount =
        read_cost(env, args[1], engine.whole_costs(), engine.algorithm_name());
    if (!amount.ok()) return std::move(amount.error());
    node.value()->refund(key.value(), amount.value());
    return undefined_value(env);
  });
}

napi_value reset_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<1>> call = CallbackInfo<1>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    Expected<const VornNode*> node = unwrap_node(env, call.value().self);
    if (!node.ok()) return std::move(node.error());
    Expected<std::string> key = from_napi_value<std::string>(env, call.value().args[0]);
    if (!key.ok()) return std::move(key.error());
    node.value()->reset(key.value());
    return undefined_value(env);
  });
}

}  // namespace

Expected<NodeConfig> NodeConfig::from_napi_value(napi_env env, napi_value value) {
  NodeConfig c;
  MaybeError failure;
  if ((failure = read_option(env, value, "algorithm", c.algorithm)) ||
      (failure = read_option(env, value, "mode", c.mode)) ||
      (failure = read_option(env, value, "capacity", c.capacity)) ||
      (failure = read_option(env, value, "refillRate", c.refill_rate)) ||
      (failure = read_option(env, value, "apiKey", c.api_key)) ||
      (failure = read_option(env, value, "debug", c.debug)) ||
      (failure = read_option(env, value, "backendUrl", c.backend_url)) ||
      (failure = read_option(env, value, "requestsPerMinute", c.requests_per_minute)) ||
      (failure = read_option(env, value, "requestsPerSecond", c.requests_per_second)) ||
      (failure = read_option(env, value, "burstLimit", c.burst_limit)) ||
      (failure = read_option(env, value, "burstMultiplier", c.burst_multiplier)) ||
      (failure = read_option(env, value, "blockDurationMs", c.block_duration_ms))) {
    return std::move(*failure);
  }
  return c;
}

Expected<napi_value> CheckResultNode::to_napi_value(napi_env env, napi_value factory) const {
  if (factory == nullptr) return make_error(napi_generic_failure, msg::kMissingEnvironmentData);
  std::array<napi_value, 5> values{};
  Expected<napi_value> value = ffi::to_napi_value(env, allowed);
  if (!value.ok()) return std::move(value.error());
  values[0] = value.value();
  if (value = ffi::to_napi_value(env, would_block); !value.ok()) return std::move(value.error());
  values[1] = value.value();
  if (reason.has_value()) {
    if (value = ffi::to_napi_value(env, std::string_view(*reason)); !value.ok()) {
      return std::move(value.error());
    }
    values[2] = value.value();
  } else if (napi_status status = napi_get_undefined(env, &values[2]); status != napi_ok) {
    return Error{status, {}, {}};
  }
  if (value = ffi::to_napi_value(env, std::string_view(algorithm)); !value.ok()) {
    return std::move(value.error());
  }
  values[3] = value.value();
  LimitMessage::Buffer debug_text;
  if (value = ffi::to_napi_value(env, debug_info.render(debug_text)); !value.ok()) {
    return std::move(value.error());
  }
  values[4] = value.value();

  napi_value undefined = nullptr;
  napi_status status = napi_get_undefined(env, &undefined);
  napi_value result = nullptr;
  if (status == napi_ok) {
    status = napi_call_function(env, undefined, factory, values.size(), values.data(), &result);
  }
  if (status != napi_ok) return Error{status, {}, {}};
  return result;
}

namespace {

RateLimitOptions limits_of(const NodeConfig& config) {
  RateLimitOptions limits;
  if (config.requests_per_minute)
    limits.requests_per_minute = to_u64_saturating(*config.requests_per_minute);
  if (config.requests_per_second)
    limits.requests_per_second = to_u64_saturating(*config.requests_per_second);
  if (config.burst_limit) limits.burst_limit = to_u64_saturating(*config.burst_limit);
  return limits;
}

// Builds the engine from `config` with its defaults, of `rates` when given;
// `zone` places its state.
std::shared_ptr<VornEngine> make_engine(const NodeConfig& config, const std::vector<Rate>* rates,
                                        const ZonePlacement* zone,
                                        const SyncSettings* sync = nullptr) {
  const RateLimitOptions limits = limits_of(config);
  const uint64_t block_duration_ms = config.block_duration_ms
                                         ? to_u64_saturating(*config.block_duration_ms)
                                         : kDefaultBlockDurationMs;
  const std::string_view algorithm = config.algorithm ? *config.algorithm : kDefaultAlgorithm;
  const std::string_view mode = config.mode ? *config.mode : kDefaultMode;
  const double capacity = config.capacity.value_or(kDefaultCapacity);
  const double refill_rate = config.refill_rate.value_or(kDefaultRefillRate);
  const double burst_multiplier = config.burst_multiplier.value_or(kDefaultBurstMultiplier);
  std::string backend_url = config.backend_url.value_or(std::string(kDefaultBackendUrl));
  if (rates != nullptr && sync != nullptr) {
    return std::make_shared<VornEngine>(algorithm, mode, config.api_key, *rates, burst_multiplier,
                                        config.debug, limits, block_duration_ms,
                                        std::move(backend_url), *sync);
  }
  if (rates != nullptr) {
    return std::make_shared<VornEngine>(algorithm, mode, config.api_key, *rates, burst_multiplier,
                                        config.debug, limits, block_duration_ms,
                                        std::move(backend_url), zone);
  }
  if (zone != nullptr) {
    return std::make_shared<VornEngine>(*zone, algorithm, mode, config.api_key, capacity,
                                        refill_rate, burst_multiplier, config.debug, limits,
                                        block_duration_ms, std::move(backend_url));
  }
  return std::make_shared<VornEngine>(algorithm, mode, config.api_key, capacity, refill_rate,
                                      burst_multiplier, config.debug, limits, block_duration_ms,
                                      std::move(backend_url));
}

// Clears whatever exception the runtime left pending; true when there was one.
bool clear_exception(napi_env env) {
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) != napi_ok || !pending) return false;
  napi_value ignored = nullptr;
  napi_get_and_clear_last_exception(env, &ignored);
  return true;
}

// object[method](argument); false, with nothing left pending, when that threw
// or `method` is not there to call.
bool call_method(napi_env env, napi_value object, const char* method, napi_value argument) {
  napi_value function = nullptr;
  napi_value ignored = nullptr;
  napi_status status = napi_get_named_property(env, object, method, &function);
  if (status == napi_ok) status = napi_call_function(env, object, function, 1, &argument, &ignored);
  if (status == napi_ok) return true;
  clear_exception(env);
  return false;
}

}  // namespace

VornNode::VornNode(const NodeConfig& config, const std::vector<Rate>* rates,
                   const SyncSettings* sync)
    : engine_(make_engine(config, rates, nullptr, sync)) {}

VornNode::VornNode(napi_env env, const NodeConfig& config, const std::vector<Rate>* rates,
                   const ZonePlacement& zone, Reference logger)
    : engine_(make_engine(config, rates, &zone)),
      zone_(engine_->zone_connection()),
      env_(env),
      logger_(std::move(logger)) {}

void VornNode::log_notices() const {
  std::vector<std::string> lines;
  try {
    lines = zone_->take_notices();
  } catch (const std::bad_alloc&) {
    return;  // the lines are lost; the check's answer is not
  }
  for (const std::string& line : lines) {
    Expected<napi_value> text = ffi::to_napi_value(env_, std::string_view(line));
    if (!text.ok()) {
      clear_exception(env_);
      continue;
    }
    const napi_value logger = logger_.value();
    if (logger != nullptr && call_method(env_, logger, "warn", text.value())) continue;
    // A logger that throws must not lose the line nor fail the check.
    napi_value global = nullptr;
    napi_value process = nullptr;
    if (napi_get_global(env_, &global) == napi_ok &&
        napi_get_named_property(env_, global, "process", &process) == napi_ok) {
      call_method(env_, process, "emitWarning", text.value());
    }
    clear_exception(env_);
  }
}

CheckResultNode VornNode::check_request(std::string_view ip, std::string_view route,
                                        double start) const {
  CheckOutcome outcome = engine_->check_request_with_identity(
      std::nullopt, ip, route, to_u64_saturating(start), OutcomeDetail::VerdictOnly);
  if (zone_ != nullptr && zone_->has_notices()) log_notices();
  return CheckResultNode{
      .allowed = outcome.allowed,
      .would_block = outcome.would_block,
      .reason = outcome.reason,
      .algorithm = std::move(outcome.algorithm),
      .debug_info = std::move(outcome.debug_info),
  };
}

LimitsResultNode VornNode::check_limits(std::string_view ip, std::string_view route,
                                        double start, Cost cost) const {
  CheckOutcome outcome = engine_->check_request_with_identity(
      std::nullopt, ip, route, to_u64_saturating(start), OutcomeDetail::VerdictOnly, cost);
  if (zone_ != nullptr && zone_->has_notices()) log_notices();
  const std::vector<LimitPolicy>& policies = engine_->policies();
  return LimitsResultNode{
      .allowed = outcome.allowed,
      .would_block = outcome.would_block,
      .reason = outcome.reason,
      .debug_info = std::move(outcome.debug_info),
      .figures = outcome.figures,
      .policy = outcome.rate < policies.size() ? policies[outcome.rate] : engine_->policy(),
  };
}

void VornNode::refund(std::string_view key, double amount) const {
  engine_->refund(key, amount);
  if (zone_ != nullptr && zone_->has_notices()) log_notices();
}

void VornNode::reset(std::string_view key) const {
  engine_->reset(key);
  if (zone_ != nullptr && zone_->has_notices()) log_notices();
}

Error on_config_property(Error error, std::string_view property) {
  error.reason = msg::fill_template(msg::kOnNodeConfig, {error.reason, property});
  return error;
}

namespace {

MaybeError register_rates_marker(napi_env env) {
  Expected<EnvironmentData*> data = environment_data(env);
  if (!data.ok()) return std::move(data.error());
  if (data.value()->rates_marker.value() == nullptr) {
    napi_value marker = nullptr;
    napi_status status = napi_create_symbol(env, nullptr, &marker);
    if (status == napi_ok) status = Reference::create(env, marker, data.value()->rates_marker);
    if (status != napi_ok) return make_error(status, msg::kInitializeClass, "withRates");
  }
  for (const Reference* constructor : {&data.value()->constructor, &data.value()->zone_constructor}) {
    if (MaybeError failure = set_property(env, constructor->value(), "withRates",
                                          data.value()->rates_marker.value())) {
      return failure;
    }
  }
  return std::nullopt;
}

}  // namespace

Expected<const VornNode*> unwrap_node(napi_env env, napi_value self) {
  bool tagged = false;
  napi_status status = napi_check_object_type_tag(env, self, &kVornNodeTypeTag, &tagged);
  if (status == napi_ok && !tagged) status = napi_invalid_arg;
  void* native = nullptr;
  if (status == napi_ok) status = napi_unwrap(env, self, &native);
  if (status != napi_ok) return make_error(status, msg::kUnwrap, kVornNodeClass.name);
  return static_cast<const VornNode*>(native);
}

}  // namespace vorn::ffi

// The registration entry Node.js looks up, once per environment.
extern "C" __attribute__((visibility("default"))) napi_value napi_register_module_v1(
    napi_env env, napi_value exports) {
  using namespace vorn::ffi;
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    for (const auto& [description, slot] :
         {std::pair{&kVornNodeClass, &EnvironmentData::constructor},
          std::pair{&kVornZoneNodeClass, &EnvironmentData::zone_constructor}}) {
      if (MaybeError failure = register_class(env, exports, *description, slot)) {
        failure->reason =
            msg::fill_template(msg::kRegisterClass, {description->name, description->name});
        return std::move(*failure);
      }
    }
    if (MaybeError failure = register_zone_functions(env, exports)) return std::move(*failure);
    if (MaybeError failure = register_sync_functions(env, exports)) return std::move(*failure);
    if (MaybeError failure = register_rates_marker(env)) return std::move(*failure);
    return exports;
  });
}
