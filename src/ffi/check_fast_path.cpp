#include "ffi/check_fast_path.h"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/canonical.h"
#include "ffi/limit_arguments.h"
#include "ffi/node_bridge.h"

namespace vorn::ffi {
namespace {

// makeCheckRequest(checkByHandle, checkByReceiver, flagBuffer, limitsByHandle,
// figureBuffer, limitsOfCostByHandle, ...reasonWords) returns [checkRequest,
// stamp, checkLimits, definePolicies]; stamp(object, handle, algorithm,
// ...policyFigures) gives an instance its private fields, and
// definePolicies(prototype) puts the policies getter there. checkLimits returns
// what checkRequest does and limit, remaining, retryAfterMs, resetAfterMs and
// windowMs, read from the figure buffer, where -1 stands for none (null); on an
// engine of several rates, its policies too.
constexpr char kCheckRequestSource[] = R"js('use strict';
(function makeCheckRequest(checkByHandle, checkByReceiver, flagBuffer, limitsByHandle,
                           figureBuffer, limitsOfCostByHandle, ...reasonWords) {
  const flags = new Uint8Array(flagBuffer, 0, 2);
  // How many times the native half has taken a new route text, and the route
  // it took last as this side saw it: a call of that same route sets flags[1]
  // and the native half reuses the text instead of reading it again. A count
  // other than the one this side's own call produced (a call made meanwhile by
  // a zone's logger, a failed call) means the text is not known.
  const routeTakes = new Uint32Array(flagBuffer, 4, 1);
  const unknown = {};
  let lastRoute = unknown;
  let lastTake = 0;
  // The debugInfo text the native half handed over last, which it answers
  // with undefined when a check's text is that same one.
  let lastDebugInfo;
  const figures = new Float64Array(figureBuffer);
  const figure = (at) => (figures[at] < 0 ? null : figures[at]);
  const reasons = [undefined, ...reasonWords];
  const apply = Reflect.apply;
  const { defineProperty, freeze, getOwnPropertyDescriptor } = Object;
  // [limit, windowMs, limit, windowMs, ...] as {limit, windowMs} objects.
  const policiesOf = (given) => {
    const policies = [];
    for (let at = 0; at < given.length; at += 2) {
      policies.push(freeze({ limit: given[at], windowMs: given[at + 1] < 0 ? null : given[at + 1] }));
    }
    return freeze(policies);
  };
  let stamp, checkRequest, checkLimits, definePolicies;
  class Target { constructor(object) { return object; } }
  class Stamp extends Target {
    #handle;
    #algorithm;
    #policies;
    #listed;  // the policies when there are several, else undefined
    constructor(object, handle, algorithm, policies) {
      super(object);
      this.#handle = handle;
      this.#algorithm = algorithm;
      this.#policies = policies;
      this.#listed = policies.length > 1 ? policies : undefined;
    }
    static {
      stamp = (object, handle, algorithm, ...policyFigures) => {
        new Stamp(object, handle, algorithm, policiesOf(policyFigures));
      };
      checkRequest = function checkRequest(ip, route, startMs) {
        const self = this;
        if ((typeof self !== 'object' && typeof self !== 'function') || self === null ||
            !(#handle in self)) {
          return apply(checkByReceiver, self, [ip, route, startMs]);
        }
        let debugInfo;
        if (route === lastRoute && routeTakes[0] === lastTake) {
          flags[1] = 1;
          debugInfo = checkByHandle(self.#handle, ip, route, startMs);
        } else {
          const take = (routeTakes[0] + 1) >>> 0;
          flags[1] = 0;
          debugInfo = checkByHandle(self.#handle, ip, route, startMs);
          if (routeTakes[0] === take) {
            lastRoute = route;
            lastTake = take;
          }
        }
        if (debugInfo === undefined) debugInfo = lastDebugInfo;
        else lastDebugInfo = debugInfo;
        const bits = flags[0];
        const allowed = (bits & 1) !== 0;
        const wouldBlock = (bits & 2) !== 0;
        const reason = reasons[bits >> 2];
        return reason === undefined
            ? { allowed, wouldBlock, algorithm: self.#algorithm, debugInfo }
            : { allowed, wouldBlock, reason, algorithm: self.#algorithm, debugInfo };
      };
      // checkLimits of a cost, on an engine of several rates (whose answers
      // list every rate's policy), or on a receiver that is not an instance.
      // Apart, so that checkLimits stays small enough for V8 to inline it into
      // its callers, as it was before costs and several rates.
      const limitsOtherwise = (self, ip, route, startMs, cost) => {
        if ((typeof self !== 'object' && typeof self !== 'function') || self === null ||
            !(#handle in self)) {
          return apply(checkByReceiver, self, [ip, route, startMs]);  // throws: not an instance
        }
        flags[1] = 0;
        let debugInfo = cost === undefined
            ? limitsByHandle(self.#handle, ip, route, startMs)
            : limitsOfCostByHandle(self.#handle, ip, route, startMs, cost);
        if (debugInfo === undefined) debugInfo = lastDebugInfo;
        else lastDebugInfo = debugInfo;
        const policies = self.#listed;
        const bits = flags[0];
        const allowed = (bits & 1) !== 0;
        const wouldBlock = (bits & 2) !== 0;
        const reason = reasons[bits >> 2];
        const algorithm = self.#algorithm;
        const limit = figure(0);
        const remaining = figure(1);
        const retryAfterMs = figure(2);
        const resetAfterMs = figure(3);
        const windowMs = figure(4);
        if (policies === undefined) {
          return reason === undefined
              ? { allowed, wouldBlock, algorithm, debugInfo, limit, remaining, retryAfterMs,
                  resetAfterMs, windowMs }
              : { allowed, wouldBlock, reason, algorithm, debugInfo, limit, remaining,
                  retryAfterMs, resetAfterMs, windowMs };
        }
        return reason === undefined
            ? { allowed, wouldBlock, algorithm, debugInfo, limit, remaining, retryAfterMs,
                resetAfterMs, windowMs, policies }
            : { allowed, wouldBlock, reason, algorithm, debugInfo, limit, remaining,
                retryAfterMs, resetAfterMs, windowMs, policies };
      };
      checkLimits = function checkLimits(ip, route, startMs, cost) {
        const self = this;
        if ((typeof self !== 'object' && typeof self !== 'function') || self === null ||
            !(#handle in self) || cost !== undefined || self.#listed !== undefined) {
          return limitsOtherwise(self, ip, route, startMs, cost);
        }
        let debugInfo;
        if (route === lastRoute && routeTakes[0] === lastTake) {
          flags[1] = 1;
          debugInfo = limitsByHandle(self.#handle, ip, route, startMs);
        } else {
          const take = (routeTakes[0] + 1) >>> 0;
          flags[1] = 0;
          debugInfo = limitsByHandle(self.#handle, ip, route, startMs);
          if (routeTakes[0] === take) {
            lastRoute = route;
            lastTake = take;
          }
        }
        if (debugInfo === undefined) debugInfo = lastDebugInfo;
        else lastDebugInfo = debugInfo;
        const bits = flags[0];
        const allowed = (bits & 1) !== 0;
        const wouldBlock = (bits & 2) !== 0;
        const reason = reasons[bits >> 2];
        const algorithm = self.#algorithm;
        const limit = figure(0);
        const remaining = figure(1);
        const retryAfterMs = figure(2);
        const resetAfterMs = figure(3);
        const windowMs = figure(4);
        return reason === undefined
            ? { allowed, wouldBlock, algorithm, debugInfo, limit, remaining, retryAfterMs,
                resetAfterMs, windowMs }
            : { allowed, wouldBlock, reason, algorithm, debugInfo, limit, remaining,
                retryAfterMs, resetAfterMs, windowMs };
      };
      const { get } = getOwnPropertyDescriptor({
        get policies() {
          const self = this;
          if ((typeof self !== 'object' && typeof self !== 'function') || self === null ||
              !(#handle in self)) {
            return apply(checkByReceiver, self, []);  // throws: not an instance
          }
          return self.#policies;
        },
      }, 'policies');
      definePolicies = (prototype) => {
        defineProperty(prototype, 'policies', { get, enumerable: false, configurable: true });
      };
    }
  }
  Object.defineProperty(checkRequest, 'length', { value: 0 });
  return [checkRequest, stamp, checkLimits, definePolicies];
}))js";

// The reason words in the order of their codes in the flag byte (code 0: no
// reason).
constexpr std::array<LimitReason, 3> kReasonCodes = {
    LimitReason::WithinLimit, LimitReason::LimitExceeded, LimitReason::TokenExhausted};

// The words of kReasonCodes, looked up once.
const std::array<std::string_view, kReasonCodes.size()> kReasonWords = {
    reason_word(kReasonCodes[0]), reason_word(kReasonCodes[1]), reason_word(kReasonCodes[2])};

// Bit 0 allowed, bit 1 wouldBlock, bits 2-3 the reason code.
uint8_t flag_byte(bool allowed, bool would_block, std::optional<std::string_view> reason) {
  uint8_t code = 0;
  if (reason) {
    for (size_t at = 0; at < kReasonWords.size(); ++at) {
      // The engine hands out these very words: most often the same storage.
      const std::string_view word = kReasonWords[at];
      if (reason->data() == word.data() ? reason->size() == word.size() : *reason == word) {
        code = static_cast<uint8_t>(at + 1);
        break;
      }
    }
  }
  return static_cast<uint8_t>((allowed ? 1 : 0) | (would_block ? 2 : 0) | code << 2);
}

// A figure as the buffer holds it: -1 for none. Doubles are exact to 2^53 ms.
double figure_value(std::optional<uint64_t> value) {
  return value ? static_cast<double>(*value) : -1.0;
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

}  // namespace

MaybeError CheckFastPath::create(napi_env env, const char* name, napi_callback by_receiver,
                                 std::string_view class_name) {
  if (check_request_) return std::nullopt;
  class_name_ = class_name;
  // The maker's arguments: functions, buffers, reason words; a last slot for `this`.
  std::array<napi_value, 10> args{};
  void* memory = nullptr;
  void* figure_memory = nullptr;
  napi_status status =
      napi_create_function(env, name, NAPI_AUTO_LENGTH, check_by_handle_entry, this, &args[0]);
  if (status == napi_ok) {
    status = napi_create_function(env, name, NAPI_AUTO_LENGTH, by_receiver, nullptr, &args[1]);
  }
  if (status == napi_ok) status = napi_create_arraybuffer(env, kFlagBytes, &memory, &args[2]);
  if (status == napi_ok) status = Reference::create(env, args[2], flag_buffer_);
  if (status == napi_ok) {
    status = napi_create_function(env, "checkLimits", NAPI_AUTO_LENGTH, limits_by_handle_entry,
                                  this, &args[3]);
  }
  if (status == napi_ok) {
    status = napi_create_arraybuffer(env, kFigureCount * sizeof(double), &figure_memory, &args[4]);
  }
  if (status == napi_ok) status = Reference::create(env, args[4], figure_buffer_);
  if (status == napi_ok) {
    status = napi_create_function(env, "checkLimits", NAPI_AUTO_LENGTH,
                                  limits_of_cost_by_handle_entry, this, &args[5]);
  }
  if (status != napi_ok) return Error{status, {}, {}};
  flags_ = static_cast<uint8_t*>(memory);
  route_takes_ = reinterpret_cast<uint32_t*>(flags_ + kRouteTakesOffset);
  figures_ = static_cast<double*>(figure_memory);
  for (size_t at = 0; at < kReasonCodes.size(); ++at) {
    Expected<napi_value> word = ffi::to_napi_value(env, reason_word(kReasonCodes[at]));
    if (!word.ok()) return std::move(word.error());
    args[6 + at] = word.value();
  }
  napi_get_undefined(env, &args[9]);

  napi_value source = nullptr;
  napi_value maker = nullptr;
  napi_value made = nullptr;
  napi_value check_request = nullptr;
  napi_value stamp = nullptr;
  napi_value check_limits = nullptr;
  napi_value define_policies = nullptr;
  status =
      napi_create_string_utf8(env, kCheckRequestSource, sizeof(kCheckRequestSource) - 1, &source);
  if (status == napi_ok) status = napi_run_script(env, source, &maker);
  if (status == napi_ok) status = napi_call_function(env, args[9], maker, 9, args.data(), &made);
  if (status == napi_ok) status = napi_get_named_property(env, made, "0", &check_request);
  if (status == napi_ok) status = napi_get_named_property(env, made, "1", &stamp);
  if (status == napi_ok) status = napi_get_named_property(env, made, "2", &check_limits);
  if (status == napi_ok) status = napi_get_named_property(env, made, "3", &define_policies);
  if (status == napi_ok) status = Reference::create(env, define_policies, define_policies_);
  if (status == napi_ok) status = Reference::create(env, check_limits, check_limits_);
  if (status == napi_ok) status = Reference::create(env, stamp, stamp_);
  if (status == napi_ok) status = Reference::create(env, check_request, check_request_);
  if (status != napi_ok) return Error{status, {}, {}};
  return std::nullopt;
}

// The handle is the VornNode's address as a BigInt: a plain value that leaves
// nothing behind when the environment ends (an external would leave the
// runtime's record of it for every instance still alive). The instance's wrap
// owns the VornNode; the handle is only ever read while the instance holding it
// is the receiver of the call, and no script can forge a private field.
napi_status CheckFastPath::stamp(napi_env env, napi_value instance, const VornNode* node,
                                 napi_value algorithm,
                                 const std::vector<LimitPolicy>& policies) const {
  napi_value stamp = stamp_.value();
  if (stamp == nullptr) return napi_generic_failure;
  std::vector<napi_value> args = {instance, nullptr, algorithm};
  napi_status status = napi_create_bigint_uint64(env, reinterpret_cast<uintptr_t>(node), &args[1]);
  for (const LimitPolicy& policy : policies) {
    for (const std::optional<uint64_t> value :
         {std::optional<uint64_t>(policy.limit), policy.window_ms}) {
      napi_value number = nullptr;
      if (status == napi_ok) status = napi_create_double(env, figure_value(value), &number);
      args.push_back(number);
    }
  }
  napi_value ignored = nullptr;
  if (status == napi_ok) {
    status = napi_call_function(env, instance, stamp, args.size(), args.data(), &ignored);
  }
  return status;
}

Expected<napi_value> CheckFastPath::debug_info_value(napi_env env,
                                                     const LimitMessage& message) const {
  const LimitMessage::TextKey key = message.text_key();
  if (has_last_debug_info_ && key == last_debug_key_) return static_cast<napi_value>(nullptr);
  LimitMessage::Buffer buffer;
  const std::string_view text = message.render(buffer);
  if (has_last_debug_info_ && text == last_debug_info_) {
    last_debug_key_ = key;
    return static_cast<napi_value>(nullptr);
  }
  Expected<napi_value> value = ffi::to_napi_value(env, text);
  if (value.ok()) {
    last_debug_info_.assign(text);
    last_debug_key_ = key;
    has_last_debug_info_ = true;
  }
  return value;
}

MaybeError CheckFastPath::define_policies(napi_env env, napi_value prototype) const {
  napi_value define = define_policies_.value();
  if (define == nullptr) return make_error(napi_generic_failure, msg::kMissingEnvironmentData);
  napi_value ignored = nullptr;
  const napi_status status = napi_call_function(env, prototype, define, 1, &prototype, &ignored);
  if (status != napi_ok) return Error{status, {}, {}};
  return std::nullopt;
}

namespace {

// Reads the arguments (handle, ip, route, startMs, then any more of the kSlots)
// that the JavaScript methods pass to their native halves, and calls
// `decide(path, node, ip, route, start, args)` while the argument texts are
// alive.
template <size_t kSlots, typename Decide>
napi_value run_by_handle(napi_env env, napi_callback_info info, const Decide& decide) {
  return run_entry_point(env, [&]() -> Expected<napi_value> {
    size_t argc = kSlots;
    std::array<napi_value, kSlots> args{};
    void* data = nullptr;
    napi_status status = napi_get_cb_info(env, info, &argc, args.data(), nullptr, &data);
    if (status != napi_ok) return make_error(status, msg::kCallbackInfo);
    auto& path = *static_cast<CheckFastPath*>(data);
    uint64_t address = 0;
    bool lossless = false;
    status = napi_get_value_bigint_uint64(env, args[0], &address, &lossless);
    if (status == napi_ok && !lossless) status = napi_invalid_arg;
    if (status != napi_ok) return make_error(status, msg::kUnwrap, path.class_name());
    const auto& node = *reinterpret_cast<const VornNode*>(static_cast<uintptr_t>(address));
    TextArgument ip;
    if (MaybeError failure = ip.read(env, args[1])) return std::move(*failure);
    TextArgument route;
    std::string_view route_text = path.last_route();
    if (!path.same_route()) {
      if (MaybeError failure = route.read(env, args[2])) return std::move(*failure);
      route_text = route.view();
      path.keep_route(route_text);
    }
    Expected<double> start = from_napi_value<double>(env, args[3]);
    if (!start.ok()) return std::move(start.error());
    return decide(path, node, ip.view(), route_text, start.value(), args);
  });
}

}  // namespace

// checkByHandle(handle, ip, route, startMs), called only by the JavaScript
// checkRequest with the handle from an instance's private field.
napi_value CheckFastPath::check_by_handle_entry(napi_env env, napi_callback_info info) {
  return run_by_handle<4>(
      env, info,
      [env](const CheckFastPath& path, const VornNode& node, std::string_view ip,
            std::string_view route, double start, const auto&) -> Expected<napi_value> {
        const CheckResultNode result = node.check_request(ip, route, start);
        Expected<napi_value> debug_info = path.debug_info_value(env, result.debug_info);
        if (!debug_info.ok()) return std::move(debug_info.error());
        // Written last, so no other check can run between this and the
        // caller's read.
        path.flags_[0] = flag_byte(result.allowed, result.would_block, result.reason);
        return debug_info.value();
      });
}

// Inline in both callers, as the body was in the one caller before costs.
[[gnu::always_inline]] inline Expected<napi_value> CheckFastPath::hand_over(
    napi_env env, const LimitsResultNode& result) const {
  Expected<napi_value> debug_info = debug_info_value(env, result.debug_info);
  if (!debug_info.ok()) return std::move(debug_info.error());
  figures_[0] = figure_value(result.policy.limit);
  figures_[1] = figure_value(result.figures.remaining);
  figures_[2] = figure_value(result.figures.next_admission_ms);
  figures_[3] = figure_value(result.figures.full_reset_ms);
  figures_[4] = figure_value(result.policy.window_ms);
  flags_[0] = flag_byte(result.allowed, result.would_block, result.reason);
  return debug_info.value();
}

// limitsByHandle(handle, ip, route, startMs), called only by the JavaScript
// checkLimits for a check without a cost.
napi_value CheckFastPath::limits_by_handle_entry(napi_env env, napi_callback_info info) {
  return run_by_handle<4>(
      env, info,
      [env](const CheckFastPath& path, const VornNode& node, std::string_view ip,
            std::string_view route, double start, const auto&) -> Expected<napi_value> {
        return path.hand_over(env, node.check_limits(ip, route, start));
      });
}

// limitsOfCostByHandle(handle, ip, route, startMs, cost), the same for a check
// given a cost, which is refused before anything is counted when it cannot be
// used. Apart from limitsByHandle so that a check without one reads no more
// arguments than it did before there were costs.
napi_value CheckFastPath::limits_of_cost_by_handle_entry(napi_env env, napi_callback_info info) {
  return run_by_handle<5>(
      env, info,
      [env](const CheckFastPath& path, const VornNode& node, std::string_view ip,
            std::string_view route, double start,
            const std::array<napi_value, 5>& args) -> Expected<napi_value> {
        const VornEngine& engine = node.engine();
        Expected<double> cost =
            read_cost(env, args[4], engine.whole_costs(), engine.algorithm_name());
        if (!cost.ok()) return std::move(cost.error());
        return path.hand_over(env, node.check_limits(ip, route, start, Cost::of(cost.value())));
      });
}

}  // namespace vorn::ffi
