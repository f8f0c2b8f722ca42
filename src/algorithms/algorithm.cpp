#include "algorithms/algorithm.h"

#include <cmath>

#include "algorithms/numeric.h"

namespace vorn {

Algorithm Algorithm::from_name(std::string_view name, double capacity, double refill_rate,
                               Clock clock, Reclaiming reclaiming) {
  if (name == "sliding_window") {
    return Algorithm(SlidingWindow(WINDOW_MS, to_u64_saturating(capacity), clock, reclaiming));
  }
  if (name == "fixed_window") {
    return Algorithm(FixedWindow(WINDOW_MS, to_u64_saturating(capacity), clock, reclaiming));
  }
  if (name == "leaky_bucket") {
    return Algorithm(LeakyBucket(capacity, refill_rate, clock, reclaiming));
  }
  return Algorithm(TokenBucket(capacity, refill_rate, clock, reclaiming));
}

namespace {

// A bucket of `capacity` that gains `rate` units a second: whole units, and the
// time from empty to full.
LimitPolicy bucket_policy(double capacity, double rate) {
  LimitPolicy policy{.limit = to_u64_saturating(std::floor(capacity)), .window_ms = std::nullopt};
  if (rate > 0.0 && capacity > 0.0) {
    policy.window_ms = to_u64_saturating(std::ceil(capacity / rate * 1000.0));
  }
  return policy;
}

}  // namespace

LimitPolicy Algorithm::policy() const {
  struct Visitor {
    LimitPolicy operator()(const TokenBucket& bucket) const {
      return bucket_policy(bucket.capacity(), bucket.refill_rate());
    }
    LimitPolicy operator()(const LeakyBucket& bucket) const {
      return bucket_policy(bucket.capacity(), bucket.leak_rate());
    }
    LimitPolicy operator()(const SlidingWindow& window) const {
      return LimitPolicy{.limit = window.max_requests(), .window_ms = window.window_ms()};
    }
    LimitPolicy operator()(const FixedWindow& window) const {
      return LimitPolicy{.limit = window.max_requests(), .window_ms = window.window_ms()};
    }
  };
  return std::visit(Visitor{}, limiter_);
}

}  // namespace vorn
