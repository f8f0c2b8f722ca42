// A SlidingWindow keeps, per key, the times of the requests it admitted and
// admits a new request only while fewer than `max_requests` of them lie within
// the last `window_ms` milliseconds. A request admitted at t still counts at
// t + window_ms and is dropped by the first check after that. Refused requests
// are never logged, so a key's memory is bounded by max_requests.
//
// check() is thread-safe: it runs under the key's shard lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/cost.h"
#include "algorithms/numeric.h"
#include "algorithms/request_log.h"
#include "algorithms/sharded_map.h"
#include "algorithms/window_result.h"

namespace vorn {
namespace sliding_window {

// The rules, apart from any store, over any log with empty(), size(), front(),
// back(), at(offset), pop_front(), pop_back() and push_back(time, copies), which
// logs all of its copies or, throwing, none. A new key's log is empty.
//
// Drops the expired front of `log` and decides one request of `cost` (whole),
// logging its cost in entries at `now` when admitted. Refusals are never
// logged; a cost above 1 beyond max_requests never fits and is refused with no
// time of admission. Throws only what the log throws.
template <typename Log>
AlgorithmResult decide(Log& log, uint64_t now, uint64_t window_ms, uint64_t max_requests,
                       Cost cost = {}) {
  const uint64_t cutoff = saturating_sub(now, window_ms);
  // Only the front is examined: behind a newer front (a clock that stepped
  // back) older entries wait until the front itself expires.
  while (!log.empty() && log.front() < cutoff) log.pop_front();
  const uint64_t count = log.size();
  const uint64_t need = std::max<uint64_t>(to_u64_saturating(cost.need), 1);
  const bool never_fits = need > 1 && need > max_requests;

  // Until the oldest counted request stops being counted; nothing when none is.
  std::optional<uint64_t> reset_after_ms;
  if (!log.empty()) {
    reset_after_ms = saturating_sub(saturating_add(log.front(), window_ms), now);
  }
  AlgorithmResult result;
  if (never_fits || count >= max_requests || need > max_requests - count) {
    result = requests_refused(reset_after_ms);
  } else {
    const uint64_t take = to_u64_saturating(cost.take);
    log.push_back(now, take);
    result = requests_admitted(max_requests - (count + take), reset_after_ms);
  }
  // A place frees when the front leaves the window, the allowance is whole when
  // the newest entry has; an entry still counts at its time + window_ms.
  const auto leaves_in = [&](uint64_t logged) {
    return saturating_sub(saturating_add(saturating_add(logged, window_ms), 1), now);
  };
  const uint64_t size = log.size();
  if (max_requests == 0 || never_fits) {
    result.next_admission_ms = std::nullopt;
  } else if (size < max_requests && need <= max_requests - size) {
    result.next_admission_ms = 0;
  } else {
    // The request fits once enough of the oldest entries have left.
    result.next_admission_ms = leaves_in(log.at(size - (max_requests - need) - 1));
  }
  result.full_reset_ms = log.empty() ? 0 : leaves_in(log.back());
  return result;
}

// Drops the expired front of `log` and removes up to `amount` of its newest
// entries. Throws only what the log throws.
template <typename Log>
void refund(Log& log, uint64_t now, uint64_t window_ms, uint64_t amount) {
  const uint64_t cutoff = saturating_sub(now, window_ms);
  while (!log.empty() && log.front() < cutoff) log.pop_front();
  for (uint64_t i = 0; i < amount && !log.empty(); ++i) log.pop_back();
}

}  // namespace sliding_window

class SlidingWindow {
 public:
  SlidingWindow(uint64_t window_ms, uint64_t max_requests, Clock clock = Clock::system(),
                Reclaiming reclaiming = Reclaiming::On);

  // Decides one request for `key` and updates its log. Throws FatalError when
  // the clock reads before the epoch (a new key's empty log stays inserted),
  // and std::bad_alloc when the key's log cannot grow (the request is then
  // not logged; the log keeps what it had).
  // Counts the check in the store as `count` says (see check_counts).
  AlgorithmResult check(std::string_view key, Cost cost = {}, CountAs count = {}) const;
  // What checks counted in the store.
  CheckCounts check_counts() const { return store_->counts(); }

  // Removes up to `amount` of `key`'s newest logged requests; nothing for an unknown key.
  void refund(std::string_view key, uint64_t amount) const;
  // Forgets `key`: its log starts empty.
  void reset(std::string_view key) const { store_->erase(key); }

  uint64_t window_ms() const { return window_ms_; }
  uint64_t max_requests() const { return max_requests_; }
  const ShardedMap<RequestLog>& store() const { return *store_; }

 private:
  std::shared_ptr<ShardedMap<RequestLog>> store_;
  uint64_t window_ms_;
  uint64_t max_requests_;
  Clock clock_;
};

}  // namespace vorn
