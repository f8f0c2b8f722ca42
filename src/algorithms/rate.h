// A Rate is one part of a limit: `count` units per window of `window_ms`
// milliseconds ("1000/hour" is {1000, 3,600,000}). A limit is one to
// kMaxRates rates of one algorithm, decided together. Plain value.
//
// What a rate means depends on the algorithm: the window limiters admit at
// most `count` (whole) requests per window, fixed or sliding; the buckets hold
// `count` units and refill or drain at count / window per second, so a
// drained allowance is whole again after one window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vorn {

inline constexpr size_t kMaxRates = 4;
inline constexpr uint64_t kMinRateWindowMs = 1;
inline constexpr uint64_t kMaxRateWindowMs = uint64_t{366} * 24 * 3600 * 1000;

struct Rate {
  double count = 0.0;
  uint64_t window_ms = 0;

  // The buckets' refill or leak, per second.
  double per_second() const { return count * 1000.0 / static_cast<double>(window_ms); }
};

// Why a list of rates cannot make a limit, in words for the caller; nullopt
// when it can: 1 to kMaxRates rates, each a finite count >= 0 and a window of
// 1 ms to 366 days.
std::optional<std::string> rates_problem(const Rate* rates, size_t count);

}  // namespace vorn
