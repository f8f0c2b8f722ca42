// A RateSet runs a limit of several rates of one algorithm in process: each
// key holds one state per rate, and every check decides them as one (see
// rate_decision.h), so a request is counted by all of its rates or by none.
// States are kept and reclaimed as the one-rate limiters keep theirs: a key
// goes only when every rate's state is one a fresh state would answer alike.
//
// Thread-safety: check, refund and reset are thread-safe; each runs under
// the key's shard lock, so a refund or reset is atomic with any check of the
// same key.
#pragma once

#include <array>
#include <memory>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/limit_policy.h"
#include "algorithms/rate.h"
#include "algorithms/rate_decision.h"
#include "algorithms/rate_rules.h"
#include "algorithms/sharded_map.h"

namespace vorn {

// `Slots` states per key: the count of rates, rounded up to 2 or kMaxRates.
template <typename RulesOfRates, size_t Slots>
class RatesOf {
 public:
  using Rules = RulesOfRates;
  using States = std::array<typename Rules::State, Slots>;

  // Requires 1 to Slots rates.
  RatesOf(const std::vector<Rate>& rates, Clock clock, Reclaiming reclaiming)
      : store_(std::make_shared<ShardedMap<States>>(reclaiming)), count_(rates.size()), clock_(clock) {
    for (size_t i = 0; i < count_; ++i) params_[i] = Rules::params(rates[i]);
  }

  AlgorithmResult check(std::string_view key, Cost cost, CountAs count = {}) const {
    auto states = store_->entry_or_insert(
        key,
        [&] {
          const uint64_t now = clock_.now_ms();
          States fresh{};
          for (size_t i = 0; i < count_; ++i) fresh[i] = Rules::fresh(params_[i], now);
          return fresh;
        },
        [&] {
          return [this, now = clock_.now_ms()](const States& other) {
            for (size_t i = 0; i < count_; ++i) {
              if (!Rules::is_fresh_equivalent(other[i], now, params_[i])) return false;
            }
            return true;
          };
        });
    AlgorithmResult result = decide_rates<Rules>(*states, params_, count_, clock_.now_ms(), cost);
    states.count(count, result.allowed);
    return result;
  }

  CheckCounts check_counts() const { return store_->counts(); }

  void refund(std::string_view key, double amount) const {
    auto states = store_->find_entry(key);
    if (!states) return;
    const uint64_t now = clock_.now_ms();
    for (size_t i = 0; i < count_; ++i) Rules::refund((**states)[i], now, params_[i], amount);
  }

  void reset(std::string_view key) const { store_->erase(key); }

  std::vector<LimitPolicy> policies() const {
    std::vector<LimitPolicy> policies;
    for (size_t i = 0; i < count_; ++i) policies.push_back(Rules::policy(params_[i]));
    return policies;
  }

  const ShardedMap<States>& store() const { return *store_; }

 private:
  std::shared_ptr<ShardedMap<States>> store_;
  std::array<typename Rules::Params, kMaxRates> params_{};
  size_t count_;
  Clock clock_;
};

// The in-process limiter of a limit of two or more rates, of any algorithm.
class RateSet {
 public:
  using Variant =
      std::variant<RatesOf<TokenBucketRules, 2>, RatesOf<SlidingWindowRules, 2>,
                   RatesOf<FixedWindowRules, 2>, RatesOf<LeakyBucketRules, 2>,
                   RatesOf<TokenBucketRules, kMaxRates>, RatesOf<SlidingWindowRules, kMaxRates>,
                   RatesOf<FixedWindowRules, kMaxRates>, RatesOf<LeakyBucketRules, kMaxRates>>;

  explicit RateSet(Variant rates) : rates_(std::move(rates)) {}

  // The limiter of `Rules` for `rates` (2 to kMaxRates).
  template <typename Rules>
  static RateSet of(const std::vector<Rate>& rates, Clock clock, Reclaiming reclaiming) {
    if (rates.size() <= 2) return RateSet(RatesOf<Rules, 2>(rates, clock, reclaiming));
    return RateSet(RatesOf<Rules, kMaxRates>(rates, clock, reclaiming));
  }

  AlgorithmResult check(std::string_view key, Cost cost = {}, CountAs count = {}) const {
    return std::visit([&](const auto& rates) { return rates.check(key, cost, count); }, rates_);
  }
  CheckCounts check_counts() const {
    return std::visit([](const auto& rates) { return rates.check_counts(); }, rates_);
  }
  void refund(std::string_view key, double amount) const {
    std::visit([&](const auto& rates) { rates.refund(key, amount); }, rates_);
  }
  void reset(std::string_view key) const {
    std::visit([&](const auto& rates) { rates.reset(key); }, rates_);
  }
  std::vector<LimitPolicy> policies() const {
    return std::visit([](const auto& rates) { return rates.policies(); }, rates_);
  }
  bool whole_costs() const {
    return std::visit(
        [](const auto& rates) {
          using Rules = typename std::decay_t<decltype(rates)>::Rules;
          return std::is_same_v<Rules, SlidingWindowRules> ||
                 std::is_same_v<Rules, FixedWindowRules>;
        },
        rates_);
  }
  size_t keys_held() const {
    return std::visit([](const auto& rates) { return rates.store().size(); }, rates_);
  }

 private:
  Variant rates_;
};

}  // namespace vorn
