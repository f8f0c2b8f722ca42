// How the Node host reads the arguments of limits: the constructor's rates and
// the cost a check weighs or a refund gives back. A value of the wrong type is
// refused with a TypeError, a number that cannot be used with a RangeError,
// each naming what was given; both without a code, as the package's own
// checks throw them. Run on the JavaScript thread of their environment.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "algorithms/rate.h"
#include "ffi/napi_boundary.h"

namespace vorn::ffi {

// `value` as the rates of a limit: an array of 1 to kMaxRates [count, windowMs]
// pairs, a count a finite number >= 0 and windowMs a whole number of ms of 1 ms
// to 366 days. undefined is no rates (nullopt).
Expected<std::optional<std::vector<Rate>>> read_rates(napi_env env, napi_value value);

// `value` as a cost: a finite number >= 0, whole when `whole_only` (the
// window limiters, whose `algorithm` the refusal names); undefined is 1.
Expected<double> read_cost(napi_env env, napi_value value, bool whole_only,
                           std::string_view algorithm);

}  // namespace vorn::ffi
