// Every text that JavaScript can see in the `message` of an error thrown by the
// addon, kept together so they can be read and checked at a glance. A "{}" is
// filled by fill_template(); texts are constants and safe to share between threads.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "core/text_template.h"

namespace vorn::ffi::msg {

// The call boundary.
inline constexpr std::string_view kCallbackInfo = "Failed to initialize napi function call.";
inline constexpr std::string_view kGetProperty = "Failed to get property with field `{}`";
inline constexpr std::string_view kToText =
    "Failed to convert JavaScript value `{}` into rust type `String`";
inline constexpr std::string_view kToTextSecondRead =
    "Failed to convert napi `{}` into rust type `String`";
inline constexpr std::string_view kToNumber =
    "Failed to convert napi value {} into rust type `f64`";
inline constexpr std::string_view kFromBool = "Failed to convert rust type `bool` into napi value";
inline constexpr std::string_view kFromText = "Failed to convert rust `String` into napi `string`";
inline constexpr std::string_view kSetProperty = "Failed to set property with field `{}`";
inline constexpr std::string_view kGetGlobal = "Get global object from Env failed";
inline constexpr std::string_view kGetPropertyUnchecked = "get_named_property_unchecked error";
inline constexpr std::string_view kCreateReference = "Create Error reference failed";

// Descriptions of values inside conversion messages; note the trailing blanks.
inline constexpr std::string_view kDescribeFunction = "function {}(..) ";
inline constexpr std::string_view kAnonymousFunction = "anonymous";
inline constexpr std::string_view kDescribeObject = "Object {}";
inline constexpr std::string_view kDescribeScalar = "{} {} ";

// The addon.
inline constexpr std::string_view kRegisterClass =
    "Failed to register class `{}` generate by struct `{}`";
inline constexpr std::string_view kInitializeClass = "Failed to initialize class `{}`";
inline constexpr std::string_view kUnwrap =
    "Failed to unwrap exclusive reference of `{}` type from napi value";
inline constexpr std::string_view kOnNodeConfig = "{} on NodeConfig.{}";
inline constexpr std::string_view kWithoutNew =
    "Class constructor {} cannot be invoked without 'new'";
inline constexpr std::string_view kMissingEnvironmentData =
    "VornNode is not registered in this environment";
inline constexpr std::string_view kUnknownFailure = "unknown internal failure";

// Shared-memory zones.
inline constexpr std::string_view kZoneRequired =
    "Missing field `zone` on NodeConfig: a zone name of 1 to 64 characters from A-Z, a-z, 0-9, "
    "'_', '.', '-'";
// A TypeError (RangeError for a number that is not a whole count); "{}" is
// String(value) of the value given, as the package's own checks name it.
inline constexpr std::string_view kZoneSizeNotWhole =
    "zoneSize must be a whole number of bytes, not {}";
// Also the Redis engine's text.
inline constexpr std::string_view kOnErrorChoices =
    "onError must be 'local', 'allow' or 'deny', not {}";
inline constexpr std::string_view kLoggerWithoutWarn =
    "logger must be an object with a warn method, not {}";

// Limits of several rates and costs. A "{}" of a TypeError is the value given
// (a text in quotes), of a RangeError String(value) of the number.
inline constexpr std::string_view kRatesNotArray =
    "rates must be an array of [count, windowMs] pairs, not {}";
inline constexpr std::string_view kRateNotPair = "each rate must be a [count, windowMs] pair, not {}";
inline constexpr std::string_view kRateCountNotNumber = "a rate's count must be a number, not {}";
inline constexpr std::string_view kRateWindowNotNumber = "a rate's windowMs must be a number, not {}";
inline constexpr std::string_view kRateWindowNotWhole =
    "a rate's window must be a whole number of milliseconds, not {}";
// As the core words a window out of range, for one no whole count of ms holds.
inline constexpr std::string_view kRateWindowOutOfRange =
    "a rate's window must be 1 ms to 366 days, not {} ms";
inline constexpr std::string_view kCostNotNumber = "cost must be a number, not {}";
inline constexpr std::string_view kCostNotFinite = "cost must be a finite number >= 0, not {}";
inline constexpr std::string_view kCostNotWhole = "cost must be a whole number for {}, not {}";

using vorn::fill_template;

}  // namespace vorn::ffi::msg
