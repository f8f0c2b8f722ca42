// The Node-API call boundary: how an entry point of the addon fetches its
// arguments, reads optional properties, converts JavaScript values to text and
// numbers, creates result values and turns a failure into the one exception
// JavaScript sees. It knows nothing of the engine.
//
// Every operation returns its value or an Error and never throws a JavaScript
// exception by itself (a Node-API call it makes may leave the runtime's own
// exception pending; throw_into then lets that one win). Only throw_into puts an
// exception into the environment. C++ exceptions (an allocation failure, an
// engine's fatal error) are caught by run_entry_point before they reach Node.js.
//
// Thread-safety: none is needed; everything here runs on the JavaScript thread
// of the environment, inside a callback Node.js is executing, and keeps no state
// between calls.
#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "ffi/napi_api.h"
#include "ffi/napi_messages.h"
#include "zone/zone_error.h"

namespace vorn::ffi {

// The name JavaScript sees as `code` for a Node-API status; "Unknown" for a
// status this build has no name for.
std::string_view status_name(napi_status status);

// The word for a napi_typeof classification; "Unknown" beyond napi_external.
std::string_view value_type_word(napi_valuetype type);

// Owns one napi_ref (strong or weak) and deletes it when destroyed. Move-only.
// Must be used and destroyed on its environment's JavaScript thread.
class Reference {
 public:
  Reference() = default;
  Reference(napi_env env, napi_ref ref) : env_(env), ref_(ref) {}
  Reference(Reference&& other) noexcept
      : env_(other.env_), ref_(std::exchange(other.ref_, nullptr)) {}
  Reference& operator=(Reference&& other) noexcept;
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;
  ~Reference() { reset(); }

  // Strong reference (count 1) to `value`; an Error on failure is the caller's
  // to build, so this only reports the status.
  static napi_status create(napi_env env, napi_value value, Reference& out);

  explicit operator bool() const { return ref_ != nullptr; }
  // The referenced value, or nullptr when empty or the call fails.
  napi_value value() const;
  void reset();

 private:
  napi_env env_ = nullptr;
  napi_ref ref_ = nullptr;
};

// What every fallible operation of the boundary returns on failure. `status`
// becomes the thrown error's `code` and `reason` its `message`; `maybe_raw`
// holds a JavaScript exception caught on the way, thrown in preference to a new
// error when it is an error object.
struct Error {
  napi_status status = napi_generic_failure;
  std::string reason;
  Reference maybe_raw;
  std::string_view code = {};  // a fixed `code` in place of the status name
};

// The `code` of an error about a shared-memory zone.
inline constexpr std::string_view kZoneErrorCode = "ZoneError";

// A value or an Error.
template <typename T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  Error& error() { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// An operation that yields no value: empty on success.
using MaybeError = std::optional<Error>;

// `this` and exactly N argument slots; slots beyond the arguments passed hold
// `undefined`, and extra arguments are ignored.
template <size_t N>
struct CallbackInfo {
  napi_value self = nullptr;
  std::array<napi_value, N> args{};

  static Expected<CallbackInfo> fetch(napi_env env, napi_callback_info info);
};

// Reads `object[name]` as an ordinary property read (inherited properties and
// getters count). `undefined` is absent; every other value, `null` included, is
// present.
Expected<std::optional<napi_value>> get(napi_env env, napi_value object, const char* name);

// Converts a JavaScript value to a native one; only std::string and double.
// Nothing is coerced: only JavaScript strings become text, only JavaScript
// numbers become doubles (NaN and the infinities as they are).
template <typename T>
Expected<T> from_napi_value(napi_env env, napi_value value);
template <>
Expected<std::string> from_napi_value<std::string>(napi_env env, napi_value value);
template <>
Expected<double> from_napi_value<double>(napi_env env, napi_value value);

// A description of `value` for conversion messages, such as "Number 42 ",
// "Object [1,2]", "function f(..) " or "Symbol".
Expected<std::string> describe_value(napi_env env, napi_value value);

// Result values. A C string must be passed as a string_view, never as bool.
Expected<napi_value> to_napi_value(napi_env env, bool value);
Expected<napi_value> to_napi_value(napi_env env, std::string_view text);
Expected<napi_value> to_napi_value(napi_env env, const char* text) = delete;
MaybeError set_property(napi_env env, napi_value object, const char* name, napi_value value);

// A failure whose exception is a new TypeError or RangeError (`create`)
// without a code, as the package's own checks of arguments throw them.
using CreateError = napi_status (*)(napi_env, napi_value, napi_value, napi_value*);
Error argument_error(napi_env env, CreateError create, std::string message);

// String(value), which is how the package's own messages name what was given.
// A value that has no string (a Symbol) leaves the runtime's TypeError pending
// instead.
Expected<std::string> string_of(napi_env env, napi_value value);

// argument_error with `pattern` filled with String(value).
Error refused_argument(napi_env env, CreateError create, std::string_view pattern,
                       napi_value value);

// Leaves exactly one exception pending in `env`: the pending one when the error
// says so or the runtime left one, else `maybe_raw` when it is an error object,
// else a new plain Error with `code` set to the status name.
void throw_into(Error error, napi_env env);

// A "GenericFailure" Error for a C++ exception; without a reason when even
// that cannot be allocated.
inline Error internal_failure(std::string_view message) noexcept {
  Error error;
  error.status = napi_generic_failure;
  try {
    error.reason.assign(message);
  } catch (...) {
  }
  return error;
}

// Runs the body of an entry point (a callback Node.js calls) and reports its
// failure: an Error through throw_into, a zone's failure as an Error with code
// "ZoneError" (an invalid zone name: "InvalidArg"), any other C++ exception (an
// internal fatal failure) as a plain Error with code "GenericFailure" and the
// exception's message. No C++ exception ever unwinds into Node.js. The body returns
// Expected<napi_value>; everything it built is released before the throw.
template <typename Body>
napi_value run_entry_point(napi_env env, Body&& body) noexcept {
  Error failure;
  try {
    Expected<napi_value> result = body();
    if (result.ok()) return result.value();
    failure = std::move(result.error());
  } catch (const ZoneError& e) {
    failure = internal_failure(e.what());
    failure.code = kZoneErrorCode;
  } catch (const InvalidZoneName& e) {
    failure = internal_failure(e.what());
    failure.status = napi_invalid_arg;
  } catch (const std::exception& e) {
    failure = internal_failure(e.what());
  } catch (...) {
    failure = internal_failure(msg::kUnknownFailure);
  }
  throw_into(std::move(failure), env);
  return nullptr;
}

// Builds an Error whose reason is `pattern` filled with `arg`.
Error make_error(napi_status status, std::string_view pattern, std::string_view arg = {});

template <size_t N>
Expected<CallbackInfo<N>> CallbackInfo<N>::fetch(napi_env env, napi_callback_info info) {
  CallbackInfo result;
  size_t argc = N;
  napi_status status =
      napi_get_cb_info(env, info, &argc, result.args.data(), &result.self, nullptr);
  if (status != napi_ok) return make_error(status, msg::kCallbackInfo);
  return result;
}

}  // namespace vorn::ffi
