// The checkRequest method that JavaScript calls on a VornNode instance, written
// in JavaScript, and its native half.
//
// V8 builds an object literal from a boilerplate in one step, where any
// Node-API way of making a five-property object costs several times the whole
// check; so the method is JavaScript and returns a literal. Each instance
// carries, in private fields no other code can see or forge, a handle to its
// native VornNode and its algorithm text. The native half reads the
// arguments, runs the check, leaves allowed, wouldBlock and the reason code in a
// byte of a small flag buffer and returns the debugInfo text. A route is read
// once for a run of calls with the same route: the JavaScript half tells, in
// another byte, when the route is the one the native half took last, which
// then reuses that text (reading a string is near a tenth of the check); a
// count of takes in the buffer lets it know. A debugInfo text equal to the one
// handed over last comes back as undefined, and the JavaScript half reuses the
// string it kept, so a run of equal texts makes no new string. checkLimits
// reads its figures from a second buffer, and an instance's policies (a frozen
// array made once, which the policies getter returns too) from a private field of
// their own. A receiver without the fields (anything but an instance) goes to
// the receiver-based native method, which unwraps `this` and fails as it must.
//
// One CheckFastPath per environment, owned by the environment's data, so it
// never moves while the method can be called; it is used only on that
// environment's JavaScript thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "algorithms/limit_message.h"
#include "algorithms/limit_policy.h"
#include "ffi/napi_boundary.h"

namespace vorn::ffi {

class VornNode;
struct LimitsResultNode;

class CheckFastPath {
 public:
  // Makes the method called `name` (once; later calls keep the first).
  // `by_receiver` is the native method a foreign receiver is handed to, and
  // `class_name` names the class in the error of an unusable handle.
  MaybeError create(napi_env env, const char* name, napi_callback by_receiver,
                    std::string_view class_name);

  // The JavaScript functions to put on the prototype (checkRequest, and
  // checkLimits); null before create.
  napi_value method() const { return check_request_.value(); }
  napi_value limits_method() const { return check_limits_.value(); }

  // Puts the policies getter on `prototype`; after create.
  MaybeError define_policies(napi_env env, napi_value prototype) const;

  // Gives a new instance its handle to `node`, its algorithm text and its
  // engine's policies.
  napi_status stamp(napi_env env, napi_value instance, const VornNode* node, napi_value algorithm,
                    const std::vector<LimitPolicy>& policies) const;

  // Names the class in the error of an unusable handle.
  std::string_view class_name() const { return class_name_; }

  // Whether the JavaScript half says this call's route is the one taken last,
  // whose text last_route() then is (valid until the next keep_route).
  bool same_route() const { return flags_[1] != 0; }
  std::string_view last_route() const { return last_route_; }
  // Takes `text` as the last route, and counts the take for the JavaScript half.
  void keep_route(std::string_view text) {
    last_route_.assign(text);
    ++*route_takes_;
  }

  // The debugInfo to hand the JavaScript half for `message`: undefined (null)
  // when its text is the one handed over last, which that half then reuses,
  // else a new string, which becomes the last one. A message of the last one's
  // text key is told unchanged without being written out.
  Expected<napi_value> debug_info_value(napi_env env, const LimitMessage& message) const;

 private:
  static napi_value check_by_handle_entry(napi_env env, napi_callback_info info);
  static napi_value limits_by_handle_entry(napi_env env, napi_callback_info info);
  static napi_value limits_of_cost_by_handle_entry(napi_env env, napi_callback_info info);

  // Leaves checkLimits' answer for the JavaScript half: the verdict in the
  // flag byte (last), the figures in the figure buffer; returns debugInfo.
  Expected<napi_value> hand_over(napi_env env, const LimitsResultNode& result) const;

  static constexpr size_t kFigureCount = 5;
  // The flag buffer: the verdict's byte, the same-route byte, and at this
  // offset the count of route takes (a uint32).
  static constexpr size_t kRouteTakesOffset = 4;
  static constexpr size_t kFlagBytes = kRouteTakesOffset + sizeof(uint32_t);

  Reference check_request_;
  Reference check_limits_;
  Reference stamp_;
  Reference define_policies_;
  Reference flag_buffer_;
  Reference figure_buffer_;
  uint8_t* flags_ = nullptr;         // in flag_buffer_'s memory, which never moves while it lives
  double* figures_ = nullptr;        // in figure_buffer_'s memory, likewise
  uint32_t* route_takes_ = nullptr;  // in flag_buffer_'s memory
  std::string last_route_;
  // Mutable: the const entry points keep it, on the environment's one thread.
  mutable std::string last_debug_info_;
  mutable LimitMessage::TextKey last_debug_key_;
  mutable bool has_last_debug_info_ = false;
  std::string_view class_name_;
};

}  // namespace vorn::ffi
