// An Algorithm is the one limiter an engine holds: a tagged union of the four
// limiters, built from the configured algorithm name by exact, case-sensitive
// match. "sliding_window" and "fixed_window" get WINDOW_MS and the capacity
// converted to u64; "leaky_bucket" gets the refill rate as its leak rate; every
// other name (also "token_bucket", "Token_Bucket" and "") gives the token
// bucket. Construction never fails.
//
// A limit of rates (from_rates, in_zone with rates) gets the limiter of that
// algorithm with each rate's count and window: one rate, the one-rate limiter
// itself; several, a RateSet (or a zone connection of several
// configurations) that decides them as one.
//
// check(), refund() and reset() add no lock of their own and are thread-safe
// like the limiters.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/fixed_window.h"
#include "algorithms/leaky_bucket.h"
#include "algorithms/limit_policy.h"
#include "algorithms/rate.h"
#include "algorithms/rate_set.h"
#include "algorithms/sliding_window.h"
#include "algorithms/token_bucket.h"
#include "sync/sync_store.h"
#include "zone/zone_connection.h"
#include "zone/zone_placement.h"

namespace vorn {

inline constexpr uint64_t WINDOW_MS = 60000;

class Algorithm {
 public:
  using Variant = std::variant<TokenBucket, SlidingWindow, FixedWindow, LeakyBucket, RateSet,
                               ZoneConnection, SyncStore>;

  static Algorithm from_name(std::string_view name, double capacity, double refill_rate,
                             Clock clock = Clock::system(), Reclaiming reclaiming = Reclaiming::On);

  // The same choice of limiter and parameters, with the per-client state in
  // the shared-memory zone `zone` places it in (see ZoneConnection). Throws
  // InvalidZoneName or ZoneError for settings that cannot be used.
  static Algorithm in_zone(std::string_view name, double capacity, double refill_rate,
                           const ZonePlacement& zone, Clock clock = Clock::system());

  // The limiter of `name` for `rates` (1 to kMaxRates, valid by rates_problem).
  static Algorithm from_rates(std::string_view name, const std::vector<Rate>& rates,
                              Clock clock = Clock::system(), Reclaiming reclaiming = Reclaiming::On);
  static Algorithm in_zone(std::string_view name, const std::vector<Rate>& rates,
                           const ZonePlacement& zone, Clock clock = Clock::system());
  // Synced through Redis by a host (see SyncStore): "fixed_window",
  // "leaky_bucket", else the token bucket.
  static Algorithm synced(std::string_view name, const std::vector<Rate>& rates,
                          SyncSettings settings, Clock clock = Clock::system());

  explicit Algorithm(Variant limiter) : limiter_(std::move(limiter)) {}
  // A limiter of `rates`, which its policies then state as written.
  Algorithm(Variant limiter, const std::vector<Rate>& rates);

  AlgorithmResult check(std::string_view key, Cost cost = {}) const {
    return std::visit([&](const auto& limiter) { return limiter.check(key, cost); }, limiter_);
  }

  // check(), counted in the limiter's store under the key's shard lock as
  // `count` says, for a limiter safe_without_caller_lock (any other counts
  // nothing: its caller counts under its own lock). check_counts() tells
  // what was counted so, over the store's shards.
  AlgorithmResult check_counted(std::string_view key, Cost cost, CountAs count) const {
    return std::visit(
        [&](const auto& limiter) {
          if constexpr (requires { limiter.check(key, cost, count); }) {
            return limiter.check(key, cost, count);
          } else {
            return limiter.check(key, cost);
          }
        },
        limiter_);
  }
  CheckCounts check_counts() const {
    return std::visit(
        [](const auto& limiter) {
          if constexpr (requires { limiter.check_counts(); }) {
            return limiter.check_counts();
          } else {
            return CheckCounts{};
          }
        },
        limiter_);
  }

  // Gives back up to `amount` (a cost) of what `key` spent, on every rate,
  // never past a fresh state; nothing for a key without state.
  void refund(std::string_view key, double amount) const;
  // Forgets `key` in every rate.
  void reset(std::string_view key) const {
    std::visit([key](const auto& limiter) { limiter.reset(key); }, limiter_);
  }

  // Whether check() may run on several threads at once with no lock of the
  // caller's: true of the in-process limiters, whose keys' shard locks are
  // all they need; false of the others (a zone connection requires the
  // caller's exclusion).
  bool safe_without_caller_lock() const {
    return std::holds_alternative<TokenBucket>(limiter_) ||
           std::holds_alternative<SlidingWindow>(limiter_) ||
           std::holds_alternative<FixedWindow>(limiter_) ||
           std::holds_alternative<LeakyBucket>(limiter_) || std::holds_alternative<RateSet>(limiter_);
  }

  // Whether costs must be whole (the window limiters count requests).
  bool whole_costs() const;

  // The zone's record of the limiter from_name would choose for these values.
  static zone::ZoneConfig zone_config(std::string_view name, double capacity, double refill_rate);
  static zone::ZoneConfig zone_config(std::string_view name, const Rate& rate);

  // The zone connection, for a limiter in a zone; nullptr otherwise.
  const ZoneConnection* zone_connection() const { return std::get_if<ZoneConnection>(&limiter_); }
  // The synced store, for a limiter synced through Redis; nullptr otherwise.
  const SyncStore* sync_store() const { return std::get_if<SyncStore>(&limiter_); }

  // Keys whose state the store holds (for a zone: every configuration's, or
  // 0 while it cannot be used).
  size_t keys_held() const;

  // The limit and window clients are told of: the first rate's. A limit of
  // rates tells each rate's own window (a bucket's refill, count / window,
  // would give it back only to within a rounding).
  LimitPolicy policy() const;
  // Every rate's, in order.
  std::vector<LimitPolicy> policies() const;

  const Variant& limiter() const { return limiter_; }

 private:
  Variant limiter_;
  std::vector<LimitPolicy> stated_;  // a limit of rates' policies; empty otherwise
};

}  // namespace vorn
