// How a zone slot's state is decided, refunded and checked, by the limiters'
// own rules (token_bucket::decide and the others, sliding_window's over a
// ZoneLog), and how the states of a limit of several rates are decided as one
// (rate_decision.h's steps). Used by ZoneLimiter under a shard's lock; every
// function requires that lock and touches nothing it was not given.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "algorithms/algorithm_result.h"
#include "algorithms/cost.h"
#include "algorithms/fixed_window.h"
#include "algorithms/leaky_bucket.h"
#include "algorithms/numeric.h"
#include "algorithms/rate_decision.h"
#include "algorithms/sliding_window.h"
#include "algorithms/token_bucket.h"
#include "zone/shard_slots.h"
#include "zone/zone_layout.h"
#include "zone/zone_log.h"

namespace vorn::zone {

// A state dated further ahead of the clock than any step back explains.
inline constexpr uint64_t kFutureSlackMs = 24 * 3600 * 1000;

inline bool plausible_time(uint64_t time, uint64_t now) {
  return time - now <= kFutureSlackMs || time <= now;
}

// Whether a bucket's limits are ones whose level the rules keep in bounds:
// unusual ones (negative, infinite, NaN) can leave any level, so only the
// time is checked for them.
inline bool ordinary(double capacity, double rate) {
  return std::isfinite(capacity) && capacity >= 0.0 && std::isfinite(rate) && rate >= 0.0;
}

// Whether the bucket kinds' state in `slot` is one the rules could have left:
// anything else (a level out of bounds or NaN, a time a day ahead) is damage.
// `levels` says whether the limits keep the level in bounds (ordinary()).
[[gnu::always_inline]] inline bool plausible_state(const Slot& slot, const ZoneConfig& config,
                                                   bool levels, uint64_t now) {
  switch (static_cast<Kind>(config.kind)) {
    case Kind::TokenBucket: {
      const auto bucket = state_of<token_bucket::Bucket>(slot);
      const bool level_ok = !levels || (bucket.tokens >= 0.0 && bucket.tokens <= config.capacity);
      return level_ok && plausible_time(bucket.last_refill, now);
    }
    case Kind::LeakyBucket: {
      const auto bucket = state_of<leaky_bucket::Bucket>(slot);
      const bool level_ok =
          !levels || (bucket.level >= 0.0 && bucket.level <= config.capacity + 1.0);
      return level_ok && plausible_time(bucket.last_leak, now);
    }
    case Kind::FixedWindow:
      return plausible_time(state_of<Window>(slot).window_start, now);
    case Kind::SlidingWindow:
      return true;  // a log is checked as it is walked
  }
  return false;
}

inline void store_fresh(Slot& slot, const ZoneConfig& config, uint64_t now) {
  std::memset(slot.state, 0, sizeof slot.state);
  switch (static_cast<Kind>(config.kind)) {
    case Kind::TokenBucket:
      store_state(slot, token_bucket::fresh(config.capacity, now));
      break;
    case Kind::LeakyBucket:
      store_state(slot, leaky_bucket::fresh(now));
      break;
    case Kind::FixedWindow:
      store_state(slot, fixed_window::fresh(now));
      break;
    case Kind::SlidingWindow:
      store_state(slot, zone::kEmptyLog);
      break;
  }
}

// The kinds whose whole state sits in the slot, by the limiters' own rules.
struct TokenSlot {
  using State = token_bucket::Bucket;
  static AlgorithmResult decide(State& s, uint64_t now, const ZoneConfig& c, Cost cost) {
    return token_bucket::decide(s, now, c.capacity, c.rate, cost);
  }
  static void refund(State& s, uint64_t now, const ZoneConfig& c, double amount) {
    token_bucket::refund(s, now, c.capacity, c.rate, amount);
  }
};

struct LeakySlot {
  using State = leaky_bucket::Bucket;
  static AlgorithmResult decide(State& s, uint64_t now, const ZoneConfig& c, Cost cost) {
    return leaky_bucket::decide(s, now, c.capacity, c.rate, cost);
  }
  static void refund(State& s, uint64_t now, const ZoneConfig& c, double amount) {
    leaky_bucket::refund(s, now, c.rate, amount);
  }
};

struct FixedSlot {
  using State = Window;
  static AlgorithmResult decide(State& s, uint64_t now, const ZoneConfig& c, Cost cost) {
    return fixed_window::decide(s, now, c.window_ms, c.max_requests, cost);
  }
  static void refund(State& s, uint64_t now, const ZoneConfig& c, double amount) {
    fixed_window::refund(s, now, c.window_ms, to_u64_saturating(amount));
  }
};

// Decides one request over the state in `slot` (touched).
template <typename Rules>
AlgorithmResult decide_state(Slot& slot, const ZoneConfig& config, uint64_t now, Cost cost) {
  auto state = state_of<typename Rules::State>(slot);
  AlgorithmResult result = Rules::decide(state, now, config, cost);
  store_state(slot, state);
  return result;
}

// Decides one request over the states in `slots` (touched) as one decision,
// by the same steps as the in-process limits.
template <typename Rules>
AlgorithmResult decide_states(Slot* const* slots, const ZoneConfig* configs, size_t count,
                              uint64_t now, Cost cost) {
  std::array<typename Rules::State, kMaxZoneRates> states;
  for (size_t i = 0; i < count; ++i) states[i] = state_of<typename Rules::State>(*slots[i]);
  AlgorithmResult result = decide_rates<Rules>(states, configs, count, now, cost);
  for (size_t i = 0; i < count; ++i) store_state(*slots[i], states[i]);
  return result;
}

[[gnu::flatten]] inline AlgorithmResult decide_log(ShardTransaction& tx, Slot& slot,
                                                   const ZoneConfig& config, uint64_t now,
                                                   Cost cost) {
  Slot* const held[] = {&slot};
  ZoneLog log(tx, slot, config.max_requests, held, now);
  AlgorithmResult result =
      sliding_window::decide(log, now, config.window_ms, config.max_requests, cost);
  log.finish();
  return result;
}

// A log's request is asked first whether it fits every rate, which counts
// nothing, and decided with its cost only when all say yes (rate_decision.h's
// steps for states that are not copied).
inline AlgorithmResult decide_logs(ShardTransaction& tx, Slot* const* slots,
                                   const ZoneConfig* configs, size_t count, uint64_t now,
                                   Cost cost) {
  const HeldSlots held(slots, count);
  const auto decide = [&](ZoneLog& log, size_t i, Cost weighed) {
    return sliding_window::decide(log, now, configs[i].window_ms, configs[i].max_requests, weighed);
  };
  std::array<std::optional<ZoneLog>, kMaxZoneRates> logs;
  RateResults results;
  const Cost look{cost.need, 0.0};
  bool all_fit = true;
  for (size_t i = 0; i < count; ++i) {
    logs[i].emplace(tx, *slots[i], configs[i].max_requests, held, now);
    results.at[i] = decide(*logs[i], i, look);
    all_fit = all_fit && results.at[i].allowed;
  }
  if (all_fit && cost.take > 0.0) {
    for (size_t i = 0; i < count; ++i) results.at[i] = decide(*logs[i], i, cost);
  }
  for (size_t i = 0; i < count; ++i) logs[i]->finish();
  return combine_rates(results.first(count));
}

template <typename Rules>
void refund_state(Slot& slot, uint64_t now, const ZoneConfig& config, double amount) {
  auto state = state_of<typename Rules::State>(slot);
  Rules::refund(state, now, config, amount);
  store_state(slot, state);
}

// sliding_window::refund's steps, with the newest requests dropped in one walk.
inline void refund_log(ShardTransaction& tx, Slot& slot, const ZoneConfig& config, HeldSlots held,
                       uint64_t now, double amount) {
  ZoneLog log(tx, slot, config.max_requests, held, now);
  const uint64_t cutoff = saturating_sub(now, config.window_ms);
  while (!log.empty() && log.front() < cutoff) log.pop_front();
  log.drop_newest(to_u64_saturating(amount));
  log.finish();
}

}  // namespace vorn::zone
