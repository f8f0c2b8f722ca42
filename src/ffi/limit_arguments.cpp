#include "ffi/limit_arguments.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "algorithms/cost.h"

namespace vorn::ffi {
namespace {

// Above this a double no longer holds every whole number of ms.
constexpr double kMaxExactMs = 9007199254740992.0;  // 2^53

Expected<napi_valuetype> type_of(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  const napi_status status = napi_typeof(env, value, &type);
  if (status != napi_ok) return Error{status, {}, {}};
  return type;
}

// What a TypeError names: a text in quotes (so "5" is not taken for a number),
// a BigInt with its n, an array in brackets, anything else as String(value).
Expected<std::string> given_text(napi_env env, napi_value value) {
  Expected<napi_valuetype> type = type_of(env, value);
  if (!type.ok()) return std::move(type.error());
  bool is_array = false;
  const napi_status status = napi_is_array(env, value, &is_array);
  if (status != napi_ok) return Error{status, {}, {}};
  Expected<std::string> text = string_of(env, value);
  if (!text.ok()) return text;
  if (type.value() == napi_string) return '"' + text.value() + '"';
  if (type.value() == napi_bigint) return text.value() + 'n';
  if (is_array) return '[' + text.value() + ']';
  return text;
}

Error wrong_type(napi_env env, std::string_view pattern, napi_value value) {
  Expected<std::string> given = given_text(env, value);
  if (!given.ok()) return std::move(given.error());
  return argument_error(env, napi_create_type_error, msg::fill_template(pattern, {given.value()}));
}

// The length of `value` when it is an array.
Expected<std::optional<uint32_t>> array_length(napi_env env, napi_value value) {
  bool is_array = false;
  napi_status status = napi_is_array(env, value, &is_array);
  if (status != napi_ok) return Error{status, {}, {}};
  if (!is_array) return std::optional<uint32_t>();
  uint32_t length = 0;
  status = napi_get_array_length(env, value, &length);
  if (status != napi_ok) return Error{status, {}, {}};
  return std::optional<uint32_t>(length);
}

// array[at]; a getter that throws leaves its exception pending.
Expected<napi_value> element(napi_env env, napi_value array, uint32_t at) {
  napi_value value = nullptr;
  const napi_status status = napi_get_element(env, array, at, &value);
  if (status != napi_ok) return Error{status, {}, {}};
  return value;
}

// A number of `value`, else the TypeError of `pattern`.
Expected<double> number(napi_env env, napi_value value, std::string_view pattern) {
  Expected<napi_valuetype> type = type_of(env, value);
  if (!type.ok()) return std::move(type.error());
  if (type.value() != napi_number) return wrong_type(env, pattern, value);
  double number = 0;
  const napi_status status = napi_get_value_double(env, value, &number);
  if (status != napi_ok) return Error{status, {}, {}};
  return number;
}

Expected<Rate> read_rate(napi_env env, napi_value pair) {
  Expected<std::optional<uint32_t>> length = array_length(env, pair);
  if (!length.ok()) return std::move(length.error());
  if (length.value() != 2u) return wrong_type(env, msg::kRateNotPair, pair);
  Expected<napi_value> count_value = element(env, pair, 0);
  if (!count_value.ok()) return std::move(count_value.error());
  Expected<double> count = number(env, count_value.value(), msg::kRateCountNotNumber);
  if (!count.ok()) return std::move(count.error());
  Expected<napi_value> window_value = element(env, pair, 1);
  if (!window_value.ok()) return std::move(window_value.error());
  Expected<double> window = number(env, window_value.value(), msg::kRateWindowNotNumber);
  if (!window.ok()) return std::move(window.error());
  const double ms = window.value();
  if (!std::isfinite(ms) || std::trunc(ms) != ms) {
    return refused_argument(env, napi_create_range_error, msg::kRateWindowNotWhole,
                            window_value.value());
  }
  // Whole numbers that fit are left to rates_problem, which words every limit.
  if (ms < 0 || ms > kMaxExactMs) {
    return refused_argument(env, napi_create_range_error, msg::kRateWindowOutOfRange,
                            window_value.value());
  }
  return Rate{count.value(), static_cast<uint64_t>(ms)};
}

}  // namespace

Expected<std::optional<std::vector<Rate>>> read_rates(napi_env env, napi_value value) {
  Expected<napi_valuetype> type = type_of(env, value);
  if (!type.ok()) return std::move(type.error());
  if (type.value() == napi_undefined) return std::optional<std::vector<Rate>>();
  Expected<std::optional<uint32_t>> length = array_length(env, value);
  if (!length.ok()) return std::move(length.error());
  if (!length.value()) return wrong_type(env, msg::kRatesNotArray, value);
  std::vector<Rate> rates;
  for (uint32_t at = 0; at < *length.value(); ++at) {
    Expected<napi_value> pair = element(env, value, at);
    if (!pair.ok()) return std::move(pair.error());
    Expected<Rate> rate = read_rate(env, pair.value());
    if (!rate.ok()) return std::move(rate.error());
    rates.push_back(rate.value());
  }
  if (std::optional<std::string> problem = rates_problem(rates.data(), rates.size())) {
    return argument_error(env, napi_create_range_error, std::move(*problem));
  }
  return std::optional<std::vector<Rate>>(std::move(rates));
}

Expected<double> read_cost(napi_env env, napi_value value, bool whole_only,
                           std::string_view algorithm) {
  Expected<napi_valuetype> type = type_of(env, value);
  if (!type.ok()) return std::move(type.error());
  if (type.value() == napi_undefined) return 1.0;
  Expected<double> cost = number(env, value, msg::kCostNotNumber);
  if (!cost.ok()) return cost;
  switch (cost_problem(cost.value(), whole_only)) {
    case CostProblem::None:
      return cost;
    case CostProblem::NotFiniteOrNegative:
      return refused_argument(env, napi_create_range_error, msg::kCostNotFinite, value);
    case CostProblem::NotWhole:
      break;
  }
  Expected<std::string> given = string_of(env, value);
  if (!given.ok()) return std::move(given.error());
  return argument_error(env, napi_create_range_error,
                        msg::fill_template(msg::kCostNotWhole, {algorithm, given.value()}));
}

}  // namespace vorn::ffi
