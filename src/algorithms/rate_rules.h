// The four limiters' rules in one shape, per rate, for a limit of several
// rates: each kind's state, its parameters for one Rate, and its rules
// (token_bucket::decide and the others) behind the same names. Pure; every
// function is thread-safe over states the caller owns.
#pragma once

#include <cmath>
#include <cstdint>

#include "algorithms/algorithm_result.h"
#include "algorithms/cost.h"
#include "algorithms/fixed_window.h"
#include "algorithms/leaky_bucket.h"
#include "algorithms/limit_policy.h"
#include "algorithms/numeric.h"
#include "algorithms/rate.h"
#include "algorithms/request_log.h"
#include "algorithms/sliding_window.h"
#include "algorithms/token_bucket.h"

namespace vorn {

// The promise of a bucket of `capacity` that gains `rate` units a second:
// whole units, and the time from empty to full (absent when it never fills).
inline LimitPolicy bucket_policy(double capacity, double rate) {
  LimitPolicy policy{.limit = to_u64_saturating(std::floor(capacity)), .window_ms = std::nullopt};
  if (rate > 0.0 && capacity > 0.0) {
    policy.window_ms = to_u64_saturating(std::ceil(capacity / rate * 1000.0));
  }
  return policy;
}

struct TokenBucketRules {
  using State = token_bucket::Bucket;
  struct Params {
    double capacity;
    double rate;
  };
  static Params params(const Rate& rate) { return {rate.count, rate.per_second()}; }
  static State fresh(const Params& p, uint64_t now) { return token_bucket::fresh(p.capacity, now); }
  static AlgorithmResult decide(State& s, uint64_t now, const Params& p, Cost cost) {
    return token_bucket::decide(s, now, p.capacity, p.rate, cost);
  }
  static void refund(State& s, uint64_t now, const Params& p, double amount) {
    token_bucket::refund(s, now, p.capacity, p.rate, amount);
  }
  // Brings `s` up to `now` as a decision that takes nothing would.
  static void advance(State& s, uint64_t now, const Params& p) {
    token_bucket::refund(s, now, p.capacity, p.rate, 0.0);
  }
  static bool is_fresh_equivalent(const State& s, uint64_t now, const Params& p) {
    return token_bucket::is_fresh_equivalent(s, now, p.capacity, p.rate);
  }
  static LimitPolicy policy(const Params& p) { return bucket_policy(p.capacity, p.rate); }
};

struct LeakyBucketRules {
  using State = leaky_bucket::Bucket;
  struct Params {
    double capacity;
    double rate;
  };
  static Params params(const Rate& rate) { return {rate.count, rate.per_second()}; }
  static State fresh(const Params&, uint64_t now) { return leaky_bucket::fresh(now); }
  static AlgorithmResult decide(State& s, uint64_t now, const Params& p, Cost cost) {
    return leaky_bucket::decide(s, now, p.capacity, p.rate, cost);
  }
  static void refund(State& s, uint64_t now, const Params& p, double amount) {
    leaky_bucket::refund(s, now, p.rate, amount);
  }
  static void advance(State& s, uint64_t now, const Params& p) {
    leaky_bucket::refund(s, now, p.rate, 0.0);
  }
  static bool is_fresh_equivalent(const State& s, uint64_t now, const Params& p) {
    return leaky_bucket::is_fresh_equivalent(s, now, p.rate);
  }
  static LimitPolicy policy(const Params& p) { return bucket_policy(p.capacity, p.rate); }
};

struct WindowParams {
  uint64_t window_ms;
  uint64_t max_requests;
};

struct FixedWindowRules {
  using State = Window;
  using Params = WindowParams;
  static Params params(const Rate& rate) { return {rate.window_ms, to_u64_saturating(rate.count)}; }
  static State fresh(const Params&, uint64_t now) { return fixed_window::fresh(now); }
  static AlgorithmResult decide(State& s, uint64_t now, const Params& p, Cost cost) {
    return fixed_window::decide(s, now, p.window_ms, p.max_requests, cost);
  }
  static void refund(State& s, uint64_t now, const Params& p, double amount) {
    fixed_window::refund(s, now, p.window_ms, to_u64_saturating(amount));
  }
  static void advance(State& s, uint64_t now, const Params& p) {
    fixed_window::roll_over(s, now, p.window_ms);
  }
  static bool is_fresh_equivalent(const State& s, uint64_t now, const Params& p) {
    return fixed_window::is_fresh_equivalent(s, now, p.window_ms);
  }
  static LimitPolicy policy(const Params& p) { return {p.max_requests, p.window_ms}; }
};

struct SlidingWindowRules {
  using State = RequestLog;
  using Params = WindowParams;
  static Params params(const Rate& rate) { return {rate.window_ms, to_u64_saturating(rate.count)}; }
  static State fresh(const Params&, uint64_t) { return RequestLog(); }
  static AlgorithmResult decide(State& s, uint64_t now, const Params& p, Cost cost) {
    return sliding_window::decide(s, now, p.window_ms, p.max_requests, cost);
  }
  static void refund(State& s, uint64_t now, const Params& p, double amount) {
    sliding_window::refund(s, now, p.window_ms, to_u64_saturating(amount));
  }
  // A log whose every entry is older than the cutoff would be empty after
  // its key's next eviction: the same as a new key's log.
  static bool is_fresh_equivalent(const State& s, uint64_t now, const Params& p) {
    return s.all_before(saturating_sub(now, p.window_ms));
  }
  static LimitPolicy policy(const Params& p) { return {p.max_requests, p.window_ms}; }
};

}  // namespace vorn
