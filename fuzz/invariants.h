// An InvariantChecker watches every answer one limiter gives and aborts the
// process (a fuzzer crash) the moment an answer breaks a rule that must hold for
// any parameters, keys and clock movements:
//   - allowed iff the reason is WithinLimit, and each limiter's field presence;
//   - the token bucket admits no more than floor(capacity) plus what the elapsed
//     time refills; the leaky bucket no more than capacity + 1 plus what drains;
//   - the sliding window never has more than max_requests admissions inside any
//     window_ms span of the clock;
//   - the fixed window never counts above max_requests, and only starts a new
//     count once the window it reported has run out.
// The checker learns only from answers; it does not re-implement the limiters.
// Not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "algorithms/algorithm_result.h"

namespace vorn::fuzz {

enum class LimiterKind { TokenBucket, SlidingWindow, FixedWindow, LeakyBucket };

struct LimiterParams {
  LimiterKind kind = LimiterKind::TokenBucket;
  double capacity = 0;  // the buckets
  double rate = 0;      // refill or leak rate
  uint64_t window_ms = 0;
  uint64_t max_requests = 0;
};

// Whether VORN_FUZZ_TRACE is set: then every answer is printed, to follow a crash.
bool tracing();

// Prints the broken rule and aborts.
[[noreturn]] void violation(const std::string& what);
inline void require(bool holds, const char* what) {
  if (!holds) violation(what);
}

class InvariantChecker {
 public:
  explicit InvariantChecker(LimiterParams params) : params_(params) {}

  // Before every check of `key`, whether or not it then succeeds.
  void attempt(const std::string& key, uint64_t now);
  // After a check of `key` at clock reading `now` answered `result`.
  void observe(const std::string& key, uint64_t now, const AlgorithmResult& result);
  // A check of `key` may have changed its state without the answer being seen
  // (it failed after the limiter ran); counts learned from answers are void.
  void lose_track(const std::string& key);

  const LimiterParams& params() const { return params_; }

 private:
  struct KeyHistory {
    uint64_t earliest_attempt = 0;  // the smallest clock value any check of the key saw
    uint64_t latest_attempt = 0;    // the largest clock value any check of the key saw
    uint64_t admitted = 0;
    std::vector<uint64_t> admission_times;  // sorted
    // Sliding window: the largest eviction cutoff any check may have applied.
    uint64_t latest_cutoff = 0;
    // Fixed window: the count learned from the latest admission, and the
    // latest end of the current window that any answer reported.
    bool count_known = true;
    uint64_t window_count = 0;
    uint64_t window_end = 0;
  };

  void check_shape(const AlgorithmResult& result) const;
  void check_token_bucket(const KeyHistory& history, const AlgorithmResult& result) const;
  void check_sliding_window(KeyHistory& history, uint64_t now, const AlgorithmResult& result);
  void check_fixed_window(KeyHistory& history, uint64_t now, const AlgorithmResult& result);
  void check_leaky_bucket(const KeyHistory& history, const AlgorithmResult& result) const;
  double credited_seconds(const KeyHistory& history) const;

  LimiterParams params_;
  std::map<std::string, KeyHistory> keys_;
};

}  // namespace vorn::fuzz
