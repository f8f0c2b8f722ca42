// What a synced engine keeps of one key between syncs, and the rules that
// change it: a check, a refund, a reset, the key's report to Redis, the
// answer applied, and a sync that failed. The same rules serve a process's own
// table and a machine's table in shared memory (see MachineLedger), so a key
// behaves alike in both; only where the state lives, and its lock, differ.
//
// A SyncKey is a plain value of fixed size without pointers, so that it may
// be copied in and out of memory that other processes share; every field is
// read as hostile there (KeyRules::plausible) and nothing in it says where to
// write. KeyRules is a plain value, thread-safe to share; its functions change
// only the state they are given, under the caller's lock.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "algorithms/algorithm_result.h"
#include "algorithms/cost.h"
#include "algorithms/limit_policy.h"
#include "algorithms/numeric.h"
#include "algorithms/rate.h"
#include "algorithms/rate_decision.h"
#include "algorithms/rate_rules.h"
#include "sync/key_digest.h"
#include "sync/sync_reports.h"

namespace vorn {

// A key keeps its lease through this many syncs without a check, so that a
// key asked every few intervals does not wait for a sync each time.
inline constexpr uint8_t kIdleSyncs = 3;

template <typename Rules>
struct SyncKey {
  std::array<typename Rules::State, kMaxRates> mirror{};
  KeyDigest name{};    // the key's Redis name (key_digest)
  double lease = 0.0;  // reserved in Redis for this table, not yet spent
  double extra = 0.0;  // admitted without a lease since the last report
  double demand = 0.0;
  double credit_used = 0.0;  // before the key's first answer, across reports
  double sent_extra = 0.0;   // the extra of the report in flight
  uint64_t lease_time = 0;   // Redis ms of the last grant
  uint64_t flight = 0;       // who carries the report in flight (a ledger's sync)
  uint8_t asked = 0;         // checked since the last report
  uint8_t idle = 0;          // reports since it was last checked
  uint8_t reset = 0;
  uint8_t synced = 0;  // an answer came for it: no more credit
  uint8_t in_flight = 0;
  uint8_t sent_reset = 0;
  uint8_t sent_asked = 0;
};

// How each algorithm's state reads Redis's numbers and holds a lease. `own`
// is what a table holds beyond Redis's state: its lease less what it
// admitted that Redis has not been told of.
template <typename Rules>
struct LeaseRules;

template <>
struct LeaseRules<TokenBucketRules> {
  static constexpr LimitReason kRefused = LimitReason::TokenExhausted;
  static constexpr bool kWhole = false;
  static token_bucket::Bucket from_redis(double level, uint64_t at, double own) {
    return {level + own, at};
  }
  static bool rolls_over(const token_bucket::Bucket&, uint64_t, const TokenBucketRules::Params&) {
    return false;
  }
  static double limit(const TokenBucketRules::Params& p) { return p.capacity; }
  static bool plausible(const token_bucket::Bucket& b) { return std::isfinite(b.tokens); }
};

template <>
struct LeaseRules<LeakyBucketRules> {
  static constexpr LimitReason kRefused = LimitReason::LimitExceeded;
  static constexpr bool kWhole = false;
  static leaky_bucket::Bucket from_redis(double level, uint64_t at, double own) {
    return {std::max(0.0, level - own), at};
  }
  static bool rolls_over(const leaky_bucket::Bucket&, uint64_t, const LeakyBucketRules::Params&) {
    return false;
  }
  static double limit(const LeakyBucketRules::Params& p) { return p.capacity; }
  static bool plausible(const leaky_bucket::Bucket& b) {
    return std::isfinite(b.level) && b.level >= 0.0;
  }
};

template <>
struct LeaseRules<FixedWindowRules> {
  static constexpr LimitReason kRefused = LimitReason::LimitExceeded;
  static constexpr bool kWhole = true;
  static Window from_redis(double count, uint64_t at, double own) {
    return {to_u64_saturating(std::max(0.0, count - own)), at};
  }
  // A lease is of the window it was granted in.
  static bool rolls_over(const Window& window, uint64_t now, const WindowParams& p) {
    return now >= window.window_start + p.window_ms;
  }
  static double limit(const WindowParams& p) { return static_cast<double>(p.max_requests); }
  static bool plausible(const Window&) { return true; }
};

inline uint64_t to_local_ms(double redis_ms, int64_t offset) {
  const double local = redis_ms + static_cast<double>(offset);
  return local > 0.0 ? to_u64_saturating(local) : 0;
}

template <typename Rules>
class KeyRules {
 public:
  using Lease = LeaseRules<Rules>;
  using Key = SyncKey<Rules>;

  explicit KeyRules(const std::vector<Rate>& rates) : count_(rates.size()) {
    for (size_t i = 0; i < count_; ++i) params_[i] = Rules::params(rates[i]);
  }

  size_t count() const { return count_; }
  double limit(size_t i) const { return Lease::limit(params_[i]); }

  Key fresh(const KeyDigest& name, uint64_t now) const {
    Key state;
    state.name = name;
    for (size_t i = 0; i < count_; ++i) state.mirror[i] = Rules::fresh(params_[i], now);
    return state;
  }

  // Whether a state read from shared memory is one these rules could have
  // left; anything else is damage, and the key starts fresh.
  bool plausible(const Key& state) const {
    const auto amount = [](double value) { return std::isfinite(value) && value >= 0.0; };
    if (!amount(state.lease) || !amount(state.extra) || !amount(state.demand) ||
        !amount(state.credit_used) || !amount(state.sent_extra)) {
      return false;
    }
    for (size_t i = 0; i < count_; ++i) {
      if (!Lease::plausible(state.mirror[i])) return false;
    }
    return true;
  }

  // Decides one request. `degraded`: every admission is extra. `credit`: what a
  // key not yet synced may admit without a lease. `wait_ms`: until the next sync.
  AlgorithmResult check(Key& state, uint64_t now, Cost cost, bool degraded, double credit,
                        uint64_t wait_ms) const {
    state.asked = 1;
    state.demand += cost.take;
    for (size_t i = 0; i < count_; ++i) {
      if (Lease::rolls_over(state.mirror[i], now, params_[i])) state.lease = 0.0;
    }
    auto trial = state.mirror;
    AlgorithmResult result = decide(trial, now, cost);
    if (!result.allowed) {
      state.mirror = trial;
      return result;
    }
    const double take = cost.take;
    if (degraded) {
      state.extra += take;
    } else {
      const double credit_left = state.synced ? 0.0 : std::max(0.0, credit - state.credit_used);
      if (state.lease + credit_left < take) return refused(state, now, cost, wait_ms);
      const double from_lease = std::min(state.lease, take);
      state.lease -= from_lease;
      state.extra += take - from_lease;
      state.credit_used += take - from_lease;
    }
    state.mirror = trial;
    return result;
  }

  void refund(Key& state, uint64_t now, double amount) const {
    if (!(amount > 0.0)) return;
    for (size_t i = 0; i < count_; ++i) Rules::refund(state.mirror[i], now, params_[i], amount);
    // What Redis was never told of is simply not told; the rest Redis holds
    // as spent, so it is this table's to spend again or give back.
    const double untold = std::min(state.extra, amount);
    state.extra -= untold;
    state.lease += amount - untold;
  }

  // Forgets the key here; the next report resets it in Redis. A report in
  // flight stays in flight (its answer is then stale and dropped).
  void reset(Key& state, uint64_t now) const {
    Key fresh_state = fresh(state.name, now);
    fresh_state.in_flight = state.in_flight;
    fresh_state.flight = state.flight;
    fresh_state.reset = 1;
    state = fresh_state;
  }

  // The key's report when it has something to say (then it is in flight,
  // carried by `flight`); false otherwise. `closing` gives the lease back.
  bool report(Key& state, bool closing, uint64_t flight, SyncReport& out) const {
    SyncReport report;
    if (state.asked && !closing) {
      double want = std::max(1.0, 2.0 * state.demand) - state.lease;
      if (Lease::kWhole) want = std::ceil(want);
      report.want = std::max(0.0, want);
    }
    state.idle = state.asked ? 0 : static_cast<uint8_t>(std::min(state.idle + 1, 255));
    if ((state.idle >= kIdleSyncs || closing) && state.lease > 0.0) {
      report.unused = state.lease;
      report.lease_time_ms = state.lease_time;
      state.lease = 0.0;
    }
    report.extra = state.extra;
    report.reset = state.reset != 0;
    if (!(state.asked || report.extra > 0.0 || report.unused > 0.0 || report.reset)) return false;
    report.key = key_digest_text(state.name);
    state.sent_extra = report.extra;
    state.sent_reset = state.reset;
    state.sent_asked = report.want > 0.0 ? 1 : 0;
    state.extra = 0.0;
    state.reset = 0;
    state.demand = 0.0;
    state.asked = 0;
    state.in_flight = 1;
    state.flight = flight;
    out = std::move(report);
    return true;
  }

  // Whether the key can leave its table: nothing pending or in flight, and a
  // mirror a fresh one would match.
  bool removable(const Key& state, uint64_t now) const {
    if (state.in_flight || state.lease > 0.0 || state.extra > 0.0 || state.reset) return false;
    for (size_t i = 0; i < count_; ++i) {
      if (!Rules::is_fresh_equivalent(state.mirror[i], now, params_[i])) return false;
    }
    return true;
  }

  // Applies Redis's answer to the key's report in flight. `answer.states`
  // holds two numbers per rate (checked by the caller).
  void apply(Key& state, const SyncAnswer& answer, uint64_t server_now, int64_t offset) const {
    state.in_flight = 0;
    state.flight = 0;
    state.sent_extra = 0.0;
    // A reset since the report makes this answer stale: the next sync resets
    // Redis, and with it this lease.
    if (state.reset) return;
    for (size_t i = 0; i < count_; ++i) {
      // A lease of a window that has rolled since is worth nothing.
      if (Lease::kWhole && answer.states[2 * i + 1] > static_cast<double>(state.lease_time)) {
        state.lease = 0.0;
      }
    }
    state.lease += std::max(0.0, answer.lease);
    state.lease_time = server_now;
    const double own = state.lease - state.extra;
    for (size_t i = 0; i < count_; ++i) {
      state.mirror[i] = Lease::from_redis(answer.states[2 * i],
                                          to_local_ms(answer.states[2 * i + 1], offset), own);
    }
    state.synced = 1;
  }

  // The report in flight failed: its extra and reset wait for the next sync;
  // the lease it gave back is dropped (it may have reached Redis: dropping
  // undershoots, resending could overshoot).
  void failed(Key& state) const {
    const bool was_reset = state.reset != 0;
    const double extra = state.sent_extra;
    const bool reset = state.sent_reset != 0;
    const bool asked = state.sent_asked != 0;
    state.in_flight = 0;
    state.flight = 0;
    state.sent_extra = 0.0;
    if (was_reset) return;  // reset since: what came before it is forgotten
    state.extra += extra;
    state.reset = reset ? 1 : 0;
    if (asked) state.asked = 1;
  }

  // The mirror's figures with nothing left: a refusal for want of a lease,
  // which the next sync may bring.
  AlgorithmResult refused(const Key& state, uint64_t now, Cost cost, uint64_t wait_ms) const {
    auto look = state.mirror;
    AlgorithmResult result = decide(look, now, Cost{cost.need, 0.0});
    result.allowed = false;
    result.reason = Lease::kRefused;
    result.remaining = 0;
    if (result.next_admission_ms) {
      result.next_admission_ms = std::max(*result.next_admission_ms, wait_ms);
    }
    if constexpr (Lease::kRefused == LimitReason::TokenExhausted) {
      result.retry_after_ms = result.next_admission_ms;
    }
    return result;
  }

  std::vector<LimitPolicy> policies() const {
    std::vector<LimitPolicy> policies;
    for (size_t i = 0; i < count_; ++i) policies.push_back(Rules::policy(params_[i]));
    return policies;
  }

 private:
  // A limit of one rate is decided as its one-rate limiter decides, without
  // the combining of several.
  AlgorithmResult decide(std::array<typename Rules::State, kMaxRates>& states, uint64_t now,
                         Cost cost) const {
    if (count_ == 1) return Rules::decide(states[0], now, params_[0], cost);
    return decide_rates<Rules>(states, params_, count_, now, cost);
  }

  std::array<typename Rules::Params, kMaxRates> params_{};
  size_t count_;
};

}  // namespace vorn
