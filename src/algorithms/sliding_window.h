// A SlidingWindow keeps, per key, the times of the requests it admitted and
// admits a new request only while fewer than `max_requests` of them lie within
// the last `window_ms` milliseconds. A request admitted at t still counts at
// t + window_ms and is dropped by the first check after that. Refused requests
// are never logged, so a key's memory is bounded by max_requests.
//
// check() is thread-safe: it runs under the key's shard lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/numeric.h"
#include "algorithms/request_log.h"
#include "algorithms/sharded_map.h"
#include "algorithms/window_result.h"

namespace vorn {
namespace sliding_window {

// The rules, apart from any store, over any log with empty(), size(), front(),
// back(), pop_front() and push_back(time). A new key's log is empty.
//
// Drops the expired front of `log` and decides one request, logging it when
// admitted. Refusals are never logged. Throws only what the log throws.
template <typename Log>
AlgorithmResult decide(Log& log, uint64_t now, uint64_t window_ms, uint64_t max_requests) {
  const uint64_t cutoff = saturating_sub(now, window_ms);
  // Only the front is examined: behind a newer front (a clock that stepped
  // back) older entries wait until the front itself expires.
  while (!log.empty() && log.front() < cutoff) log.pop_front();
  const uint64_t count = log.size();

  // Until the oldest counted request stops being counted; nothing when none is.
  std::optional<uint64_t> reset_after_ms;
  if (!log.empty()) {
    reset_after_ms = saturating_sub(saturating_add(log.front(), window_ms), now);
  }
  AlgorithmResult result;
  if (count >= max_requests) {
    result = requests_refused(reset_after_ms);
  } else {
    log.push_back(now);
    result = requests_admitted(max_requests - (count + 1), reset_after_ms);
  }
  // A place frees when the front leaves the window, the allowance is whole when
  // the newest entry has; an entry still counts at its time + window_ms.
  const auto leaves_in = [&](uint64_t logged) {
    return saturating_sub(saturating_add(saturating_add(logged, window_ms), 1), now);
  };
  if (max_requests == 0) {
    result.next_admission_ms = std::nullopt;
  } else {
    result.next_admission_ms = log.size() < max_requests ? 0 : leaves_in(log.front());
  }
  result.full_reset_ms = log.empty() ? 0 : leaves_in(log.back());
  return result;
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
  AlgorithmResult check(std::string_view key) const;

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
