#include "algorithms/rate.h"

#include <cmath>

namespace vorn {

std::optional<std::string> rates_problem(const Rate* rates, size_t count) {
  if (count == 0) return "a limit needs at least one rate";
  if (count > kMaxRates) {
    return "a limit has at most " + std::to_string(kMaxRates) + " rates, not " +
           std::to_string(count);
  }
  for (size_t i = 0; i < count; ++i) {
    if (!std::isfinite(rates[i].count) || rates[i].count < 0.0) {
      return "a rate's count must be a finite number >= 0";
    }
    if (rates[i].window_ms < kMinRateWindowMs || rates[i].window_ms > kMaxRateWindowMs) {
      return "a rate's window must be 1 ms to 366 days, not " +
             std::to_string(rates[i].window_ms) + " ms";
    }
  }
  return std::nullopt;
}

}  // namespace vorn
