// The Node-API call boundary: conversions, descriptions and throwing.
#include "ffi/napi_boundary.h"

#include <cstdint>
#include <cstring>

namespace vorn::ffi {
namespace {

// The longest UTF-8 encoding of one character. A read into a fixed buffer stops
// before a character that does not fit, so a text that leaves more room than
// this unused was read whole.
constexpr size_t kMaxUtf8CharBytes = 4;

Error error_without_reason(napi_status status) { return Error{status, std::string(), {}}; }

// Eight bytes at a time: the results' texts are short but read on every check.
bool is_ascii(std::string_view text) {
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  uint64_t seen = 0;
  size_t i = 0;
  for (; i + sizeof(uint64_t) <= text.size(); i += sizeof(uint64_t)) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + i, sizeof word);
    seen |= word;
  }
  for (; i < text.size(); ++i) seen |= static_cast<unsigned char>(text[i]);
  return (seen & kHighBits) == 0;
}

// Clears whatever exception the runtime left pending, so that a failure inside
// a description does not mask the error being described.
void clear_pending_exception(napi_env env) {
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) == napi_ok && pending) {
    napi_value ignored = nullptr;
    napi_get_and_clear_last_exception(env, &ignored);
  }
}

// Text of a caught exception for an Error's reason; empty when the value
// cannot be turned into a string (its toString may throw in turn).
std::string exception_text(napi_env env, napi_value exception) {
  napi_value text = nullptr;
  if (napi_coerce_to_string(env, exception, &text) != napi_ok) {
    clear_pending_exception(env);
    return std::string();
  }
  Expected<std::string> converted = from_napi_value<std::string>(env, text);
  return converted.ok() ? std::move(converted.value()) : std::string();
}

// The conversion failure for a value that is not a string: the description of
// the value, or the failure to describe it, which then replaces this one.
Error text_conversion_error(napi_env env, napi_value value, napi_status status,
                            std::string_view pattern) {
  Expected<std::string> description = describe_value(env, value);
  if (!description.ok()) return std::move(description.error());
  return make_error(status, pattern, description.value());
}

Expected<std::string> describe_function(napi_env env, napi_value function) {
  napi_value name = nullptr;
  napi_status status = napi_get_named_property(env, function, "name", &name);
  if (status != napi_ok) return make_error(status, msg::kGetPropertyUnchecked);
  // A `name` that is not a string (a static getter can return anything, even
  // the function itself) reads as anonymous rather than being described in turn.
  napi_valuetype type = napi_undefined;
  status = napi_typeof(env, name, &type);
  if (status != napi_ok) return error_without_reason(status);
  std::string text;
  if (type == napi_string) {
    Expected<std::string> converted = from_napi_value<std::string>(env, name);
    if (!converted.ok()) return std::move(converted.error());
    text = std::move(converted.value());
  }
  return msg::fill_template(msg::kDescribeFunction,
                            {text.empty() ? msg::kAnonymousFunction : text});
}

// "Object " followed by what the global JSON.stringify makes of the value. An
// exception thrown by the stringify call (a circular structure, a throwing
// toJSON) is kept in maybe_raw so that it is what JavaScript finally sees.
Expected<std::string> describe_object(napi_env env, napi_value object) {
  napi_value global = nullptr;
  napi_status status = napi_get_global(env, &global);
  if (status != napi_ok) return make_error(status, msg::kGetGlobal);
  napi_value json = nullptr;
  status = napi_get_named_property(env, global, "JSON", &json);
  if (status != napi_ok) return make_error(status, msg::kGetPropertyUnchecked);
  napi_value stringify = nullptr;
  status = napi_get_named_property(env, json, "stringify", &stringify);
  if (status != napi_ok) return make_error(status, msg::kGetPropertyUnchecked);
  napi_value undefined = nullptr;
  status = napi_get_undefined(env, &undefined);
  if (status != napi_ok) return error_without_reason(status);

  napi_value json_text = nullptr;
  status = napi_call_function(env, undefined, stringify, 1, &object, &json_text);
  if (status != napi_ok) {
    bool pending = false;
    if (napi_is_exception_pending(env, &pending) != napi_ok || !pending) {
      return error_without_reason(status);
    }
    napi_value exception = nullptr;
    status = napi_get_and_clear_last_exception(env, &exception);
    if (status != napi_ok) return error_without_reason(status);
    Error error = error_without_reason(napi_generic_failure);
    status = Reference::create(env, exception, error.maybe_raw);
    if (status != napi_ok) return make_error(status, msg::kCreateReference);
    error.reason = exception_text(env, exception);
    return error;
  }
  // JSON.stringify answers undefined for some objects (a toJSON returning
  // undefined); its string form keeps the description total.
  napi_value text = nullptr;
  status = napi_coerce_to_string(env, json_text, &text);
  if (status != napi_ok) return error_without_reason(status);
  Expected<std::string> converted = from_napi_value<std::string>(env, text);
  if (!converted.ok()) return std::move(converted.error());
  return msg::fill_template(msg::kDescribeObject, {converted.value()});
}

Expected<std::string> describe_scalar(napi_env env, napi_value value, napi_valuetype type) {
  napi_value text = nullptr;
  napi_status status = napi_coerce_to_string(env, value, &text);
  if (status != napi_ok) return error_without_reason(status);
  Expected<std::string> converted = from_napi_value<std::string>(env, text);
  if (!converted.ok()) return std::move(converted.error());
  return msg::fill_template(msg::kDescribeScalar, {value_type_word(type), converted.value()});
}

}  // namespace

std::string_view status_name(napi_status status) {
  static constexpr std::string_view kNames[] = {
      "Ok",
      "InvalidArg",
      "ObjectExpected",
      "StringExpected",
      "NameExpected",
      "FunctionExpected",
      "NumberExpected",
      "BooleanExpected",
      "ArrayExpected",
      "GenericFailure",
      "PendingException",
      "Cancelled",
      "EscapeCalledTwice",
      "HandleScopeMismatch",
      "CallbackScopeMismatch",
      "QueueFull",
      "Closing",
      "BigintExpected",
      "DateExpected",
      "ArrayBufferExpected",
      "DetachableArraybufferExpected",
      "WouldDeadlock",
      "NoExternalBuffersAllowed",
  };
  static_assert(std::size(kNames) == napi_no_external_buffers_allowed + 1);
  const auto index = static_cast<size_t>(status);
  return index < std::size(kNames) ? kNames[index] : "Unknown";
}

std::string_view value_type_word(napi_valuetype type) {
  switch (type) {
    case napi_undefined:
      return "Undefined";
    case napi_null:
      return "Null";
    case napi_boolean:
      return "Boolean";
    case napi_number:
      return "Number";
    case napi_string:
      return "String";
    case napi_symbol:
      return "Symbol";
    case napi_object:
      return "Object";
    case napi_function:
      return "Function";
    case napi_external:
      return "External";
    default:
      return "Unknown";
  }
}

Reference& Reference::operator=(Reference&& other) noexcept {
  if (this != &other) {
    reset();
    env_ = other.env_;
    ref_ = std::exchange(other.ref_, nullptr);
  }
  return *this;
}

napi_status Reference::create(napi_env env, napi_value value, Reference& out) {
  napi_ref ref = nullptr;
  napi_status status = napi_create_reference(env, value, 1, &ref);
  if (status == napi_ok) out = Reference(env, ref);
  return status;
}

napi_value Reference::value() const {
  napi_value value = nullptr;
  if (ref_ != nullptr && napi_get_reference_value(env_, ref_, &value) != napi_ok) return nullptr;
  return value;
}

void Reference::reset() {
  if (ref_ != nullptr) napi_delete_reference(env_, std::exchange(ref_, nullptr));
}

Error make_error(napi_status status, std::string_view pattern, std::string_view arg) {
  return Error{status, msg::fill_template(pattern, {arg}), {}};
}

Expected<std::optional<napi_value>> get(napi_env env, napi_value object, const char* name) {
  napi_value value = nullptr;
  napi_status status = napi_get_named_property(env, object, name, &value);
  if (status != napi_ok) return make_error(status, msg::kGetProperty, name);
  napi_valuetype type = napi_undefined;
  status = napi_typeof(env, value, &type);
  if (status != napi_ok) return error_without_reason(status);
  if (type == napi_undefined) return std::optional<napi_value>();
  return std::optional<napi_value>(value);
}

template <>
Expected<std::string> from_napi_value<std::string>(napi_env env, napi_value value) {
  // Most texts (addresses, routes) fit a small buffer and are read in one call;
  // longer ones are measured first and read again whole.
  std::array<char, 256> buffer;
  size_t copied = 0;
  napi_status status =
      napi_get_value_string_utf8(env, value, buffer.data(), buffer.size(), &copied);
  if (status != napi_ok) return text_conversion_error(env, value, status, msg::kToText);
  if (copied + kMaxUtf8CharBytes < buffer.size()) return std::string(buffer.data(), copied);

  size_t length = 0;
  status = napi_get_value_string_utf8(env, value, nullptr, 0, &length);
  if (status != napi_ok) return text_conversion_error(env, value, status, msg::kToText);
  std::string text(length + 1, '\0');
  status = napi_get_value_string_utf8(env, value, text.data(), text.size(), &copied);
  if (status != napi_ok) return text_conversion_error(env, value, status, msg::kToTextSecondRead);
  text.resize(copied);
  return text;
}

template <>
Expected<double> from_napi_value<double>(napi_env env, napi_value value) {
  double number = 0;
  napi_status status = napi_get_value_double(env, value, &number);
  if (status == napi_ok) return number;
  napi_valuetype type = napi_undefined;
  napi_status typeof_status = napi_typeof(env, value, &type);
  if (typeof_status != napi_ok) return error_without_reason(typeof_status);
  return make_error(status, msg::kToNumber, value_type_word(type));
}

Expected<std::string> describe_value(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  napi_status status = napi_typeof(env, value, &type);
  if (status != napi_ok) return error_without_reason(status);
  switch (type) {
    case napi_function:
      return describe_function(env, value);
    case napi_object:
      return describe_object(env, value);
    case napi_boolean:
    case napi_number:
      return describe_scalar(env, value, type);
    default:
      return std::string(value_type_word(type));
  }
}

Expected<napi_value> to_napi_value(napi_env env, bool value) {
  napi_value result = nullptr;
  napi_status status = napi_get_boolean(env, value, &result);
  if (status != napi_ok) return make_error(status, msg::kFromBool);
  return result;
}

Expected<napi_value> to_napi_value(napi_env env, std::string_view text) {
  // Latin-1 and UTF-8 agree on ASCII, and the Latin-1 path skips decoding.
  napi_value result = nullptr;
  napi_status status = is_ascii(text)
                           ? napi_create_string_latin1(env, text.data(), text.size(), &result)
                           : napi_create_string_utf8(env, text.data(), text.size(), &result);
  if (status != napi_ok) return make_error(status, msg::kFromText);
  return result;
}

MaybeError set_property(napi_env env, napi_value object, const char* name, napi_value value) {
  napi_status status = napi_set_named_property(env, object, name, value);
  if (status != napi_ok) return make_error(status, msg::kSetProperty, name);
  return std::nullopt;
}

Error argument_error(napi_env env, CreateError create, std::string message) {
  napi_value text = nullptr;
  napi_value exception = nullptr;
  napi_status status = napi_create_string_utf8(env, message.data(), message.size(), &text);
  if (status == napi_ok) status = create(env, nullptr, text, &exception);
  Error error{status == napi_ok ? napi_invalid_arg : status, std::move(message), {}};
  if (status == napi_ok) Reference::create(env, exception, error.maybe_raw);
  return error;
}

Expected<std::string> string_of(napi_env env, napi_value value) {
  napi_value text = nullptr;
  const napi_status status = napi_coerce_to_string(env, value, &text);
  if (status != napi_ok) return Error{status, {}, {}};
  return from_napi_value<std::string>(env, text);
}

Error refused_argument(napi_env env, CreateError create, std::string_view pattern,
                       napi_value value) {
  Expected<std::string> given = string_of(env, value);
  if (!given.ok()) return std::move(given.error());
  return argument_error(env, create, msg::fill_template(pattern, {given.value()}));
}

void throw_into(Error error, napi_env env) {
  bool pending = false;
  const bool pending_known = napi_is_exception_pending(env, &pending) == napi_ok;
  // A status of PendingException with nothing actually pending would otherwise
  // return to JavaScript as a silent success; it falls through to a new Error.
  if (error.status == napi_pending_exception && (pending || !pending_known)) return;
  if (pending) {
    napi_value exception = nullptr;
    if (napi_get_and_clear_last_exception(env, &exception) == napi_ok) napi_throw(env, exception);
    return;
  }
  if (error.maybe_raw) {
    napi_value raw = error.maybe_raw.value();
    error.maybe_raw.reset();
    bool is_error = false;
    if (raw != nullptr && napi_is_error(env, raw, &is_error) == napi_ok && is_error) {
      napi_throw(env, raw);
      return;
    }
  }
  const std::string_view code_text = error.code.empty() ? status_name(error.status) : error.code;
  napi_value code = nullptr;
  napi_value message = nullptr;
  napi_value js_error = nullptr;
  if (napi_create_string_utf8(env, code_text.data(), code_text.size(), &code) == napi_ok &&
      napi_create_string_utf8(env, error.reason.data(), error.reason.size(), &message) == napi_ok &&
      napi_create_error(env, code, message, &js_error) == napi_ok) {
    napi_throw(env, js_error);
  }
}

}  // namespace vorn::ffi
