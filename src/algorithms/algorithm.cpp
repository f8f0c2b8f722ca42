#include "algorithms/algorithm.h"

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

}  // namespace vorn
