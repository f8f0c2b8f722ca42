// How a limit of several rates decides one request: as one decision. The
// request is admitted only when every rate admits it, and then counted by
// every rate; a request any rate refuses is counted by none. Every store runs
// these same steps over its own states, under its own lock.
//
// The answer describes the rate closest to refusing: when refused, the
// refusing rate that keeps the client waiting longest; when admitted, the one
// with the least left (then the one whose allowance is whole again last). Its
// figures are the answer's, except the time of the next admission, which is
// the latest of all rates': a request passes only when each rate lets it.
// Pure functions; thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include "algorithms/algorithm_result.h"
#include "algorithms/cost.h"
#include "algorithms/rate.h"

namespace vorn {

// Absent (never) sorts after every time.
inline bool later(const std::optional<uint64_t>& a, const std::optional<uint64_t>& b) {
  if (!a) return b.has_value();
  return b && *a > *b;
}

// Room for one result per rate, left unmade past the first: only the first
// `count` are written, each before it is read, so no check spends time on the
// rest. The first is made so that the optimiser of a release build, which
// cannot see that a limit has a rate at least, has nothing to warn of.
struct RateResults {
  static_assert(std::is_trivially_copyable_v<AlgorithmResult> &&
                std::is_trivially_destructible_v<AlgorithmResult>);
  RateResults() { at[0] = AlgorithmResult{}; }
  union {
    AlgorithmResult at[kMaxRates];
  };
  std::span<AlgorithmResult> first(size_t count) { return {at, count}; }
};

// The answer of a limit whose rates answered `results` (one decision each,
// all for the same request): the deciding rate's result, its index in
// `rate`, and the latest next admission.
inline AlgorithmResult combine_rates(std::span<AlgorithmResult> results) {
  size_t pick = 0;
  bool allowed = true;
  for (const AlgorithmResult& result : results) allowed = allowed && result.allowed;
  std::optional<uint64_t> next_admission = results[0].next_admission_ms;
  for (size_t i = 1; i < results.size(); ++i) {
    const AlgorithmResult& candidate = results[i];
    const AlgorithmResult& best = results[pick];
    if (later(candidate.next_admission_ms, next_admission)) {
      next_admission = candidate.next_admission_ms;
    }
    bool better;
    if (!allowed) {
      better = !candidate.allowed &&
               (best.allowed || later(candidate.next_admission_ms, best.next_admission_ms));
    } else {
      better = candidate.remaining < best.remaining ||
               (candidate.remaining == best.remaining &&
                later(candidate.full_reset_ms, best.full_reset_ms));
    }
    if (better) pick = i;
  }
  AlgorithmResult answer = std::move(results[pick]);
  answer.next_admission_ms = next_admission;
  answer.rate = static_cast<uint8_t>(pick);
  return answer;
}

// Decides one request of `cost` over `states[i]` with `params[i]` by `Rules`
// (see rate_rules.h), for `count` rates: the request is admitted and counted
// by every rate only when each admits it; a refusal brings every state up to
// `now` and counts nothing.
template <typename Rules, typename States, typename Params>
AlgorithmResult decide_rates(States& states, const Params& params, size_t count, uint64_t now,
                             Cost cost) {
  RateResults results;
  const Cost look{cost.need, 0.0};
  if constexpr (std::is_trivially_copyable_v<typename Rules::State>) {
    // Small states are decided on copies, kept when every rate admits: the
    // usual admission takes one pass.
    States trial = states;
    bool all_admit = true;
    for (size_t i = 0; i < count; ++i) {
      results.at[i] = Rules::decide(trial[i], now, params[i], cost);
      all_admit = all_admit && results.at[i].allowed;
    }
    if (all_admit) {
      states = trial;
    } else {
      // A refused state took nothing; the others only come up to now. Of a
      // rate that would admit the request the refused answer reads only that
      // and its time of next admission, 0 then (no rate admitting is the one
      // that answers, nor waits longest): rules that can bring a state up to
      // now without deciding skip the rest of the decision.
      for (size_t i = 0; i < count; ++i) {
        if (!results.at[i].allowed) {
          states[i] = trial[i];
        } else if constexpr (requires { Rules::advance(states[i], now, params[i]); }) {
          Rules::advance(states[i], now, params[i]);
          results.at[i].next_admission_ms = 0;
        } else {
          results.at[i] = Rules::decide(states[i], now, params[i], look);
        }
      }
    }
  } else {
    // A log is asked first whether the request fits, which counts nothing,
    // and decided with its cost only when all say yes (bringing a state up to
    // the same `now` twice changes nothing).
    bool all_fit = true;
    for (size_t i = 0; i < count; ++i) {
      results.at[i] = Rules::decide(states[i], now, params[i], look);
      all_fit = all_fit && results.at[i].allowed;
    }
    if (all_fit && cost.take > 0.0) {
      for (size_t i = 0; i < count; ++i) {
        results.at[i] = Rules::decide(states[i], now, params[i], cost);
      }
    }
  }
  return combine_rates(results.first(count));
}

}  // namespace vorn
