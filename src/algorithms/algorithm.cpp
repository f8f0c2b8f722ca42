#include "algorithms/algorithm.h"

#include <cmath>
#include <type_traits>

#include "algorithms/numeric.h"
#include "algorithms/rate_rules.h"
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

LimitPolicy zone_policy(const zone::ZoneConfig& config) {
  const auto kind = static_cast<zone::Kind>(config.kind);
  if (kind == zone::Kind::SlidingWindow || kind == zone::Kind::FixedWindow) {
    return LimitPolicy{.limit = config.max_requests, .window_ms = config.window_ms};
  }
  return bucket_policy(config.capacity, config.rate);
}

}  // namespace

Algorithm::Algorithm(Variant limiter, const std::vector<Rate>& rates)
    : limiter_(std::move(limiter)) {
  const bool windows = whole_costs();
  for (const Rate& rate : rates) {
    const uint64_t limit = to_u64_saturating(windows ? rate.count : std::floor(rate.count));
    // A bucket that holds nothing never fills.
    const bool fills = windows || rate.count > 0.0;
    stated_.push_back(LimitPolicy{limit, fills ? std::optional(rate.window_ms) : std::nullopt});
  }
}

LimitPolicy Algorithm::policy() const {
  if (!stated_.empty()) return stated_.front();
  return std::visit(
      [](const auto& limiter) -> LimitPolicy {
        using Limiter = std::decay_t<decltype(limiter)>;
        if constexpr (std::is_same_v<Limiter, ZoneConnection>) {
          return zone_policy(limiter.config());
        } else if constexpr (std::is_same_v<Limiter, RateSet> ||
                             std::is_same_v<Limiter, SyncStore>) {
          return limiter.policies().front();
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
        using Limiter = std::decay_t<decltype(limiter)>;
        if constexpr (std::is_same_v<Limiter, ZoneConnection>) {
          const std::optional<zone::ZoneStats> stats = limiter.stats();
          return stats ? stats->keys : 0;
        } else if constexpr (std::is_same_v<Limiter, RateSet> ||
                             std::is_same_v<Limiter, SyncStore>) {
          return limiter.keys_held();
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

zone::ZoneConfig Algorithm::zone_config(std::string_view name, const Rate& rate) {
  zone::ZoneConfig config = zone_config(name, rate.count, rate.per_second());
  if (name == "sliding_window" || name == "fixed_window") config.window_ms = rate.window_ms;
  return config;
}

Algorithm Algorithm::from_rates(std::string_view name, const std::vector<Rate>& rates, Clock clock,
                                Reclaiming reclaiming) {
  if (rates.size() == 1) {
    const Rate& rate = rates.front();
    if (name == "sliding_window") {
      return Algorithm(
          SlidingWindow(rate.window_ms, to_u64_saturating(rate.count), clock, reclaiming), rates);
    }
    if (name == "fixed_window") {
      return Algorithm(FixedWindow(rate.window_ms, to_u64_saturating(rate.count), clock, reclaiming),
                       rates);
    }
    if (name == "leaky_bucket") {
      return Algorithm(LeakyBucket(rate.count, rate.per_second(), clock, reclaiming), rates);
    }
    return Algorithm(TokenBucket(rate.count, rate.per_second(), clock, reclaiming), rates);
  }
  if (name == "sliding_window") {
    return Algorithm(RateSet::of<SlidingWindowRules>(rates, clock, reclaiming), rates);
  }
  if (name == "fixed_window") {
    return Algorithm(RateSet::of<FixedWindowRules>(rates, clock, reclaiming), rates);
  }
  if (name == "leaky_bucket") {
    return Algorithm(RateSet::of<LeakyBucketRules>(rates, clock, reclaiming), rates);
  }
  return Algorithm(RateSet::of<TokenBucketRules>(rates, clock, reclaiming), rates);
}

Algorithm Algorithm::synced(std::string_view name, const std::vector<Rate>& rates,
                            SyncSettings settings, Clock clock) {
  const SyncKind kind = name == "fixed_window"   ? SyncKind::FixedWindow
                        : name == "leaky_bucket" ? SyncKind::LeakyBucket
                                                 : SyncKind::TokenBucket;
  return Algorithm(SyncStore(kind, rates, settings, clock), rates);
}

Algorithm Algorithm::in_zone(std::string_view name, const std::vector<Rate>& rates,
                             const ZonePlacement& zone, Clock clock) {
  std::vector<zone::ZoneConfig> configs;
  for (const Rate& rate : rates) configs.push_back(zone_config(name, rate));
  return Algorithm(ZoneConnection(zone, std::move(configs), clock), rates);
}

void Algorithm::refund(std::string_view key, double amount) const {
  std::visit(
      [&](const auto& limiter) {
        using Limiter = std::decay_t<decltype(limiter)>;
        if constexpr (std::is_same_v<Limiter, SlidingWindow> ||
                      std::is_same_v<Limiter, FixedWindow>) {
          limiter.refund(key, to_u64_saturating(amount));
        } else {
          limiter.refund(key, amount);
        }
      },
      limiter_);
}

bool Algorithm::whole_costs() const {
  return std::visit(
      [](const auto& limiter) {
        using Limiter = std::decay_t<decltype(limiter)>;
        if constexpr (std::is_same_v<Limiter, SlidingWindow> ||
                      std::is_same_v<Limiter, FixedWindow>) {
          return true;
        } else if constexpr (std::is_same_v<Limiter, RateSet>) {
          return limiter.whole_costs();
        } else if constexpr (std::is_same_v<Limiter, SyncStore>) {
          return limiter.kind() == SyncKind::FixedWindow;
        } else if constexpr (std::is_same_v<Limiter, ZoneConnection>) {
          const auto kind = static_cast<zone::Kind>(limiter.config().kind);
          return kind == zone::Kind::SlidingWindow || kind == zone::Kind::FixedWindow;
        } else {
          return false;
        }
      },
      limiter_);
}

std::vector<LimitPolicy> Algorithm::policies() const {
  // Every limiter of several rates is made from its rates, which state them.
  if (!stated_.empty()) return stated_;
  return {policy()};
}

Algorithm Algorithm::in_zone(std::string_view name, double capacity, double refill_rate,
                             const ZonePlacement& zone, Clock clock) {
  return Algorithm(ZoneConnection(zone, zone_config(name, capacity, refill_rate), clock));
}

}  // namespace vorn
