// The Node.js addon: registration, the VornNode class and its two entry points.
#include "ffi/node_bridge.h"

#include <array>
#include <cstdint>
#include <utility>

#include "algorithms/numeric.h"
#include "core/canonical.h"
#include "core/engine.h"

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
};

napi_value construct_entry(napi_env env, napi_callback_info info);
napi_value check_request_entry(napi_env env, napi_callback_info info);
napi_value check_by_handle_entry(napi_env env, napi_callback_info info);

constinit const ClassDescription kVornNodeClass = {
    .name = "VornNode",
    .constructor = construct_entry,
    .method = {.name = "checkRequest", .callback = check_request_entry},
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

// The method JavaScript calls, written in JavaScript so that the result object
// is an object literal: V8 builds it from a boilerplate in one step, where any
// Node-API way of making a five-property object costs several times the whole
// check. Each instance carries, in private fields no other code can see or
// forge, a handle to its native VornNode and its algorithm text; the
// native part reads the arguments, runs the check, leaves allowed, wouldBlock
// and the reason code in a per-environment byte and returns the debugInfo text.
// A receiver without the fields (anything but an instance) goes to the
// receiver-based native method, which unwraps `this` and fails as it must.
constexpr char kCheckRequestSource[] = R"js('use strict';
(function makeCheckRequest(checkByHandle, checkByReceiver, flagBuffer, ...reasonWords) {
  const flags = new Uint8Array(flagBuffer);
  const reasons = [undefined, ...reasonWords];
  const apply = Reflect.apply;
  let stamp, checkRequest;
  class Target { constructor(object) { return object; } }
  class Stamp extends Target {
    #handle;
    #algorithm;
    constructor(object, handle, algorithm) {
      super(object);
      this.#handle = handle;
      this.#algorithm = algorithm;
    }
    static {
      stamp = (object, handle, algorithm) => { new Stamp(object, handle, algorithm); };
      checkRequest = function checkRequest(ip, route, startMs) {
        const self = this;
        if ((typeof self !== 'object' && typeof self !== 'function') || self === null ||
            !(#handle in self)) {
          return apply(checkByReceiver, self, [ip, route, startMs]);
        }
        const debugInfo = checkByHandle(self.#handle, ip, route, startMs);
        const bits = flags[0];
        const allowed = (bits & 1) !== 0;
        const wouldBlock = (bits & 2) !== 0;
        const reason = reasons[bits >> 2];
        return reason === undefined
            ? { allowed, wouldBlock, algorithm: self.#algorithm, debugInfo }
            : { allowed, wouldBlock, reason, algorithm: self.#algorithm, debugInfo };
      };
    }
  }
  Object.defineProperty(checkRequest, 'length', { value: 0 });
  return [checkRequest, stamp];
}))js";

// The reason words in the order of their codes in the flag byte (code 0: no
// reason).
constexpr std::array<LimitReason, 3> kReasonCodes = {
    LimitReason::WithinLimit, LimitReason::LimitExceeded, LimitReason::TokenExhausted};

// Where checkByHandle leaves the booleans and the reason of a check for the
// JavaScript method: bit 0 allowed, bit 1 wouldBlock, bits 2-3 the reason code.
uint8_t flag_byte(const CheckResultNode& result) {
  uint8_t code = 0;
  if (result.reason) {
    for (size_t at = 0; at < kReasonCodes.size(); ++at) {
      if (*result.reason == reason_word(kReasonCodes[at])) code = static_cast<uint8_t>(at + 1);
    }
  }
  return static_cast<uint8_t>((result.allowed ? 1 : 0) | (result.would_block ? 2 : 0) | code << 2);
}

// What one environment keeps between calls; owned by the environment as its
// instance data and destroyed with it. `flags` points into `flag_buffer`'s
// memory, which the runtime never moves or frees while the buffer lives.
struct EnvironmentData {
  Reference constructor;
  Reference result_factory;
  Reference check_request;
  Reference stamp;
  Reference flag_buffer;
  uint8_t* flags = nullptr;
};

void finalize_environment_data(napi_env, void* data, void*) {
  std::unique_ptr<EnvironmentData> owned(static_cast<EnvironmentData*>(data));
}

void finalize_node(napi_env, void* data, void*) {
  std::unique_ptr<VornNode> owned(static_cast<VornNode*>(data));
}

Error on_config_property(Error error, std::string_view property) {
  error.reason = msg::fill_template(msg::kOnNodeConfig, {error.reason, property});
  return error;
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

// The JavaScript checkRequest of this environment and the function that stamps
// new instances for it, made on the first registration and shared by later ones
// (the byte the native part writes is per environment, so one method serves).
Expected<napi_value> ensure_check_request(napi_env env, EnvironmentData& data,
                                          const MethodDescription& method) {
  napi_value existing = data.check_request.value();
  if (existing != nullptr) return existing;
  std::array<napi_value, 7> args{};  // maker's arguments: functions, buffer, reason words
  void* memory = nullptr;
  napi_status status = napi_create_function(env, method.name, NAPI_AUTO_LENGTH,
                                            check_by_handle_entry, &data, &args[0]);
  if (status == napi_ok) {
    status = napi_create_function(env, method.name, NAPI_AUTO_LENGTH, method.callback, nullptr,
                                  &args[1]);
  }
  if (status == napi_ok) status = napi_create_arraybuffer(env, 1, &memory, &args[2]);
  if (status == napi_ok) status = Reference::create(env, args[2], data.flag_buffer);
  if (status != napi_ok) return Error{status, {}, {}};
  data.flags = static_cast<uint8_t*>(memory);
  for (size_t at = 0; at < kReasonCodes.size(); ++at) {
    Expected<napi_value> word = ffi::to_napi_value(env, reason_word(kReasonCodes[at]));
    if (!word.ok()) return std::move(word.error());
    args[3 + at] = word.value();
  }
  napi_get_undefined(env, &args[6]);  // a seventh slot keeps the array whole; unused

  napi_value source = nullptr;
  napi_value maker = nullptr;
  napi_value made = nullptr;
  napi_value check_request = nullptr;
  napi_value stamp = nullptr;
  status =
      napi_create_string_utf8(env, kCheckRequestSource, sizeof(kCheckRequestSource) - 1, &source);
  if (status == napi_ok) status = napi_run_script(env, source, &maker);
  if (status == napi_ok) status = napi_call_function(env, args[6], maker, 6, args.data(), &made);
  if (status == napi_ok) status = napi_get_named_property(env, made, "0", &check_request);
  if (status == napi_ok) status = napi_get_named_property(env, made, "1", &stamp);
  if (status == napi_ok) status = Reference::create(env, stamp, data.stamp);
  if (status == napi_ok) status = Reference::create(env, check_request, data.check_request);
  if (status != napi_ok) return Error{status, {}, {}};
  return check_request;
}

// Defines the class with no methods of its own and puts the method on the
// prototype as a plain function: a method of napi_define_class would get the
// runtime's receiver check, which answers a foreign `this` before the unwrap
// can, and would not be enumerable.
MaybeError register_class(napi_env env, napi_value exports, const ClassDescription& description) {
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
  Expected<napi_value> method = ensure_check_request(env, *data.value(), description.method);
  if (!method.ok()) return std::move(method.error());
  const napi_property_descriptor method_property = {
      .utf8name = description.method.name,
      .name = nullptr,
      .method = nullptr,
      .getter = nullptr,
      .setter = nullptr,
      .value = method.value(),
      .attributes = static_cast<napi_property_attributes>(napi_writable | napi_enumerable |
                                                          napi_configurable),
      .data = nullptr,
  };
  status = napi_define_properties(env, prototype, 1, &method_property);
  if (status != napi_ok) return Error{status, {}, {}};
  status = Reference::create(env, constructor, data.value()->constructor);
  if (status != napi_ok) return Error{status, {}, {}};
  if (MaybeError failure = create_result_factory(env, *data.value())) return failure;
  return set_property(env, exports, description.name, constructor);
}

napi_value construct_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    Expected<CallbackInfo<1>> call = CallbackInfo<1>::fetch(env, info);
    if (!call.ok()) return std::move(call.error());
    const napi_value self = call.value().self;
    // Called as a plain function, `this` is the global object (or whatever the
    // caller bound), which must not become an instance.
    napi_value new_target = nullptr;
    napi_status status = napi_get_new_target(env, info, &new_target);
    if (status != napi_ok) return Error{status, {}, {}};
    if (new_target == nullptr) {
      return make_error(napi_invalid_arg, msg::kWithoutNew, kVornNodeClass.name);
    }
    Expected<NodeConfig> config = NodeConfig::from_napi_value(env, call.value().args[0]);
    if (!config.ok()) return std::move(config.error());

    Expected<EnvironmentData*> data = environment_data(env);
    if (!data.ok()) return std::move(data.error());
    const std::optional<std::string>& given = config.value().algorithm;
    const std::string_view algorithm = given ? std::string_view(*given) : kDefaultAlgorithm;
    Expected<napi_value> algorithm_text = ffi::to_napi_value(env, algorithm);
    if (!algorithm_text.ok()) return std::move(algorithm_text.error());

    auto node = std::make_unique<VornNode>(config.value());
    VornNode* native = node.get();
    napi_ref wrapper = nullptr;
    status = napi_wrap(env, self, native, finalize_node, nullptr, &wrapper);
    if (status != napi_ok) return make_error(status, msg::kInitializeClass, "constructor");
    node.release()->set_wrapper(Reference(env, wrapper));  // the JavaScript object owns it now
    status = napi_type_tag_object(env, self, &kVornNodeTypeTag);
    // The handle is the VornNode's address as a BigInt: a plain value that
    // leaves nothing behind when the environment ends (an external would leave
    // the runtime's record of it for every instance still alive). The wrap owns
    // the VornNode; the handle is only ever read while the instance holding it
    // is the receiver of the call, and no script can forge a private field.
    std::array<napi_value, 3> stamp_args = {self, nullptr, algorithm_text.value()};
    if (status == napi_ok) {
      status = napi_create_bigint_uint64(env, reinterpret_cast<uintptr_t>(native), &stamp_args[1]);
    }
    napi_value stamp = data.value()->stamp.value();
    if (status == napi_ok && stamp == nullptr) status = napi_generic_failure;
    napi_value ignored = nullptr;
    if (status == napi_ok) {
      status = napi_call_function(env, self, stamp, stamp_args.size(), stamp_args.data(), &ignored);
    }
    if (status != napi_ok) return make_error(status, msg::kInitializeClass, "constructor");
    return self;
  });
}

// The VornNode wrapped in `self`, only when this addon wrapped it.
Expected<const VornNode*> unwrap_node(napi_env env, napi_value self) {
  bool tagged = false;
  napi_status status = napi_check_object_type_tag(env, self, &kVornNodeTypeTag, &tagged);
  if (status == napi_ok && !tagged) status = napi_invalid_arg;
  void* native = nullptr;
  if (status == napi_ok) status = napi_unwrap(env, self, &native);
  if (status != napi_ok) return make_error(status, msg::kUnwrap, kVornNodeClass.name);
  return static_cast<const VornNode*>(native);
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

// An argument's UTF-8 text: read into inline storage when it fits, as almost
// every address and route does, else through the general conversion (which
// also builds the error for a value that is not a string).
class TextArgument {
 public:
  MaybeError read(napi_env env, napi_value value) {
    size_t copied = 0;
    // A character is never cut, so room for one more of up to four bytes left
    // over means the whole text was read.
    constexpr size_t kMaxUtf8CharBytes = 4;
    if (napi_get_value_string_utf8(env, value, inline_.data(), inline_.size(), &copied) ==
            napi_ok &&
        copied + kMaxUtf8CharBytes < inline_.size()) {
      view_ = std::string_view(inline_.data(), copied);
      return std::nullopt;
    }
    Expected<std::string> text = from_napi_value<std::string>(env, value);
    if (!text.ok()) return std::move(text.error());
    long_ = std::move(text.value());
    view_ = long_;
    return std::nullopt;
  }
  std::string_view view() const { return view_; }

 private:
  std::array<char, 256> inline_;
  std::string long_;
  std::string_view view_;
};

// checkByHandle(handle, ip, route, startMs), called only by the JavaScript
// checkRequest with the handle from an instance's private field.
napi_value check_by_handle_entry(napi_env env, napi_callback_info info) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    size_t argc = 4;
    std::array<napi_value, 4> args{};
    void* data = nullptr;
    napi_status status = napi_get_cb_info(env, info, &argc, args.data(), nullptr, &data);
    if (status != napi_ok) return make_error(status, msg::kCallbackInfo);
    uint64_t address = 0;
    bool lossless = false;
    status = napi_get_value_bigint_uint64(env, args[0], &address, &lossless);
    if (status == napi_ok && !lossless) status = napi_invalid_arg;
    if (status != napi_ok) return make_error(status, msg::kUnwrap, kVornNodeClass.name);
    const auto* native = reinterpret_cast<const VornNode*>(static_cast<uintptr_t>(address));
    TextArgument ip;
    if (MaybeError failure = ip.read(env, args[1])) return std::move(*failure);
    TextArgument route;
    if (MaybeError failure = route.read(env, args[2])) return std::move(*failure);
    Expected<double> start = from_napi_value<double>(env, args[3]);
    if (!start.ok()) return std::move(start.error());

    const CheckResultNode result = native->check_request(ip.view(), route.view(), start.value());
    LimitMessage::Buffer text;
    Expected<napi_value> debug_info = ffi::to_napi_value(env, result.debug_info.render(text));
    if (!debug_info.ok()) return std::move(debug_info.error());
    // Written last, so no other check can run between this and the caller's read.
    static_cast<EnvironmentData*>(data)->flags[0] = flag_byte(result);
    return debug_info.value();
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

VornNode::VornNode(const NodeConfig& config) {
  RateLimitOptions limits;
  if (config.requests_per_minute)
    limits.requests_per_minute = to_u64_saturating(*config.requests_per_minute);
  if (config.requests_per_second)
    limits.requests_per_second = to_u64_saturating(*config.requests_per_second);
  if (config.burst_limit) limits.burst_limit = to_u64_saturating(*config.burst_limit);
  const uint64_t block_duration_ms = config.block_duration_ms
                                         ? to_u64_saturating(*config.block_duration_ms)
                                         : kDefaultBlockDurationMs;
  const std::string_view algorithm = config.algorithm ? *config.algorithm : kDefaultAlgorithm;
  const std::string_view mode = config.mode ? *config.mode : kDefaultMode;
  engine_ = std::make_shared<VornEngine>(
      algorithm, mode, config.api_key, config.capacity.value_or(kDefaultCapacity),
      config.refill_rate.value_or(kDefaultRefillRate),
      config.burst_multiplier.value_or(kDefaultBurstMultiplier), config.debug, limits,
      block_duration_ms, config.backend_url.value_or(std::string(kDefaultBackendUrl)));
}

CheckResultNode VornNode::check_request(std::string_view ip, std::string_view route,
                                        double start) const {
  CheckOutcome outcome = engine_->check_request_with_identity(
      std::nullopt, ip, route, to_u64_saturating(start), OutcomeDetail::VerdictOnly);
  return CheckResultNode{
      .allowed = outcome.allowed,
      .would_block = outcome.would_block,
      .reason = outcome.reason,
      .algorithm = std::move(outcome.algorithm),
      .debug_info = std::move(outcome.debug_info),
  };
}

}  // namespace vorn::ffi

// The registration entry Node.js looks up, once per environment.
extern "C" __attribute__((visibility("default"))) napi_value napi_register_module_v1(
    napi_env env, napi_value exports) {
  using namespace vorn::ffi;
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    if (MaybeError failure = register_class(env, exports, kVornNodeClass)) {
      failure->reason = msg::fill_template(msg::kRegisterClass, {kVornNodeClass.name, kVornNodeClass.name});
      return std::move(*failure);
    }
    return exports;
  });
}
