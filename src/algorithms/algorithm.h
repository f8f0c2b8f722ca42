// An Algorithm is the one limiter an engine holds: a tagged union of the four
// limiters, built from the configured algorithm name by exact, case-sensitive
// match. "sliding_window" and "fixed_window" get WINDOW_MS and the capacity
// converted to u64; "leaky_bucket" gets the refill rate as its leak rate; every
// other name (also "token_bucket", "Token_Bucket" and "") gives the token
// bucket. Construction never fails.
//
// check() adds no lock of its own and is thread-safe like the limiters.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/fixed_window.h"
#include "algorithms/leaky_bucket.h"
#include "algorithms/limit_policy.h"
#include "algorithms/sliding_window.h"
#include "algorithms/token_bucket.h"
#include "zone/zone_connection.h"
#include "zone/zone_placement.h"

namespace vorn {

inline constexpr uint64_t WINDOW_MS = 60000;

class Algorithm {
 public:
  using Variant =
      std::variant<TokenBucket, SlidingWindow, FixedWindow, LeakyBucket, ZoneConnection>;

  static Algorithm from_name(std::string_view name, double capacity, double refill_rate,
                             Clock clock = Clock::system(), Reclaiming reclaiming = Reclaiming::On);

  // The same choice of limiter and parameters, with the per-client state in
  // the shared-memory zone `zone` places it in (see ZoneConnection). Throws
  // InvalidZoneName or ZoneError for settings that cannot be used.
  static Algorithm in_zone(std::string_view name, double capacity, double refill_rate,
                           const ZonePlacement& zone, Clock clock = Clock::system());

  explicit Algorithm(Variant limiter) : limiter_(std::move(limiter)) {}

  AlgorithmResult check(std::string_view key) const {
    return std::visit([key](const auto& limiter) { return limiter.check(key); }, limiter_);
  }

  // The zone's record of the limiter from_name would choose for these values.
  static zone::ZoneConfig zone_config(std::string_view name, double capacity, double refill_rate);

  // The zone connection, for a limiter in a zone; nullptr otherwise.
  const ZoneConnection* zone_connection() const { return std::get_if<ZoneConnection>(&limiter_); }

  // Keys whose state the store holds (for a zone: every configuration's, or
  // 0 while it cannot be used).
  size_t keys_held() const;

  // The limit and window clients are told of.
  LimitPolicy policy() const;

  const Variant& limiter() const { return limiter_; }

 private:
  Variant limiter_;
};

}  // namespace vorn
