#include "algorithms/algorithm.h"

#include <cmath>
#include <type_traits>

#include "algorithms/numeric.h"
#include "zone/zone_mapping.h"

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

LimitPolicy zone_policy(const zone::ZoneConfig& config) {
  const auto kind = static_cast<zone::Kind>(config.kind);
  if (kind == zone::Kind::SlidingWindow || kind == zone::Kind::FixedWindow) {
    return LimitPolicy{.limit = config.max_requests, .window_ms = config.window_ms};
  }
  return bucket_policy(config.capacity, config.rate);
}

}  // namespace

LimitPolicy Algorithm::policy() const {
  return std::visit(
      [](const auto& limiter) -> LimitPolicy {
        using Limiter = std::decay_t<decltype(limiter)>;
        if constexpr (std::is_same_v<Limiter, ZoneConnection>) {
          return zone_policy(limiter.config());
        } else if constexpr (std::is_same_v<Limiter, TokenBucket>) {
          return bucket_policy(limiter.capacity(), limiter.refill_rate());
        } else if constexpr (std::is_same_v<Limiter, LeakyBucket>) {
          return bucket_policy(limiter.capacity(), limiter.leak_rate());
        } else {
          return LimitPolicy{.limit = limiter.max_requests(), .window_ms = limiter.window_ms()};
        }
      },
      limiter_);
}

size_t Algorithm::keys_held() const {
  return std::visit(
      [](const auto& limiter) -> size_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(limiter)>, ZoneConnection>) {
          const std::optional<zone::ZoneStats> stats = limiter.stats();
          return stats ? stats->keys : 0;
        } else {
          return limiter.store().size();
        }
      },
      limiter_);
}

zone::ZoneConfig Algorithm::zone_config(std::string_view name, double capacity,
                                        double refill_rate) {
  zone::ZoneConfig config{};
  if (name == "sliding_window" || name == "fixed_window") {
    config.kind = static_cast<uint32_t>(name == "sliding_window" ? zone::Kind::SlidingWindow
                                                                 : zone::Kind::FixedWindow);
    config.window_ms = WINDOW_MS;
    config.max_requests = to_u64_saturating(capacity);
  } else {
    config.kind = static_cast<uint32_t>(name == "leaky_bucket" ? zone::Kind::LeakyBucket
                                                               : zone::Kind::TokenBucket);
    config.capacity = capacity;
    config.rate = refill_rate;
  }
  return config;
}

Algorithm Algorithm::in_zone(std::string_view name, double capacity, double refill_rate,
                             const ZonePlacement& zone, Clock clock) {
  return Algorithm(ZoneConnection(zone, zone_config(name, capacity, refill_rate), clock));
}

}  // namespace vorn
