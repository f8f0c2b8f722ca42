// A FixedWindow counts admitted requests per key in windows of `window_ms`
// milliseconds and admits at most `max_requests` per window. Windows are not
// aligned to the clock: a key's window opens at its first request, and the next
// one at the first request at or after the old window's end. The count never
// exceeds max_requests.
//
// check() is thread-safe: it runs under the key's shard lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/cost.h"
#include "algorithms/sharded_map.h"

namespace vorn {

struct Window {
  uint64_t count;
  uint64_t window_start;
};

namespace fixed_window {

// The rules, apart from any store. A new key's window is fresh(now).
inline Window fresh(uint64_t now) { return Window{0, now}; }

// A window that has run out would be rolled over by its key's next check,
// which is what a fresh window gets too.
bool is_fresh_equivalent(const Window& window, uint64_t now, uint64_t window_ms);

// Rolls `window` over when it ran out and decides one request of `cost`
// (whole), counting its cost when admitted. A cost above 1 beyond max_requests
// never fits and is refused with no time of admission. Never throws.
AlgorithmResult decide(Window& window, uint64_t now, uint64_t window_ms, uint64_t max_requests,
                       Cost cost);
inline AlgorithmResult decide(Window& window, uint64_t now, uint64_t window_ms,
                              uint64_t max_requests) {
  return decide(window, now, window_ms, max_requests, Cost{});
}

// Rolls `window` over when it ran out, as decide does first. Never throws.
void roll_over(Window& window, uint64_t now, uint64_t window_ms);

// Uncounts up to `amount` requests of a window that has not run out.
void refund(Window& window, uint64_t now, uint64_t window_ms, uint64_t amount);

}  // namespace fixed_window

class FixedWindow {
 public:
  FixedWindow(uint64_t window_ms, uint64_t max_requests, Clock clock = Clock::system(),
              Reclaiming reclaiming = Reclaiming::On);

  // Decides one request for `key` and updates its window. Throws FatalError
  // when the clock reads before the epoch (the window then stays as it was).
  // Counts the check in the store as `count` says (see check_counts).
  AlgorithmResult check(std::string_view key, Cost cost = {}, CountAs count = {}) const;
  // What checks counted in the store.
  CheckCounts check_counts() const { return store_->counts(); }

  // Uncounts up to `amount` of `key`'s requests in its window; nothing for an unknown key.
  void refund(std::string_view key, uint64_t amount) const;
  // Forgets `key`: its next request opens a new window.
  void reset(std::string_view key) const { store_->erase(key); }

  uint64_t window_ms() const { return window_ms_; }
  uint64_t max_requests() const { return max_requests_; }
  const ShardedMap<Window>& store() const { return *store_; }

 private:
  std::shared_ptr<ShardedMap<Window>> store_;
  uint64_t window_ms_;
  uint64_t max_requests_;
  Clock clock_;
};

}  // namespace vorn
