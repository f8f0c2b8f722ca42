// Every fixed text that the Python module shows its callers, in one place. Each
// "{}" is filled in order by fill_template(). Changing a text here changes what
// Python code sees, so the tests compare them literally.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "core/text_template.h"

namespace vorn::python::messages {

// Argument binding; the first "{}" is always the full name such as "RustEngine.check()".
inline constexpr std::string_view kTakesExactly =
    "{} takes {} positional arguments but {} {} given";
inline constexpr std::string_view kTakesFromTo =
    "{} takes from {} to {} positional arguments but {} {} given";
inline constexpr std::string_view kUnexpectedKeyword = "{} got an unexpected keyword argument '{}'";
inline constexpr std::string_view kMultipleValues = "{} got multiple values for argument '{}'";
inline constexpr std::string_view kMissingRequired = "{} missing {} required {} {}: ";
inline constexpr std::string_view kPositionalOnlyByKeyword =
    "{} got some positional-only arguments passed as keyword arguments: {}";

// Conversions.
inline constexpr std::string_view kCannotConvert = "'{}' object cannot be converted to '{}'";
inline constexpr std::string_view kArgumentPrefixed = "argument '{}': {}";
inline constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";
inline constexpr std::string_view kStringTarget = "PyString";
inline constexpr std::string_view kListTarget = "PyList";

// Failures of the boundary itself.
inline constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr std::string_view kApiCallFailed = "Python API call failed";
inline constexpr std::string_view kUnknownFailure = "native code failed without a message";
inline constexpr std::string_view kPanicTypeFailed = "Failed to initialize new exception type.";
inline constexpr std::string_view kEscapedBoundary = "uncaught panic at ffi boundary";

// The module and its class.
inline constexpr std::string_view kInitialisedTwice =
    "vorn_native may be initialized only once per interpreter process";
inline constexpr std::string_view kAllAppendFailed = "could not append __name__ to __all__: {}";
inline constexpr std::string_view kAlreadyMutablyBorrowed = "Already mutably borrowed";

// Shared-memory zones; each "{}" is the repr() of the value given.
inline constexpr std::string_view kZoneSizeNotWhole =
    "zone_size must be a whole number of bytes, not {}";
inline constexpr std::string_view kOnErrorChoices =
    "on_error must be 'local', 'allow' or 'deny', not {}";
inline constexpr std::string_view kZoneLoggerName = "vorn.zone";

// Limits of rates and costs; each "{}" but the algorithm is the repr() of the
// value given. The rest of what makes rates unusable is worded by the core.
inline constexpr std::string_view kRatesNotSequence =
    "rates must be a sequence of (count, window_ms) pairs, not {}";
inline constexpr std::string_view kRateNotPair = "a rate must be a (count, window_ms) pair, not {}";
inline constexpr std::string_view kRateCountNotNumber =
    "a rate's count must be an int or float, not {}";
inline constexpr std::string_view kRateWindowNotWhole = "a rate's window_ms must be an int, not {}";
inline constexpr std::string_view kRateWindowOutOfRange =
    "a rate's window must be 1 ms to 366 days, not {} ms";
inline constexpr std::string_view kCostNotNumber = "cost must be an int or float, not {}";
inline constexpr std::string_view kCostNotFinite = "cost must be a finite number >= 0, not {}";
inline constexpr std::string_view kCostNotWhole = "cost must be a whole number for {}, not {}";

using vorn::fill_template;

}  // namespace vorn::python::messages
