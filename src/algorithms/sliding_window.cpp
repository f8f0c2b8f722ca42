#include "algorithms/sliding_window.h"

#include "algorithms/numeric.h"

namespace vorn {

SlidingWindow::SlidingWindow(uint64_t window_ms, uint64_t max_requests, Clock clock,
                             Reclaiming reclaiming)
    : store_(std::make_shared<ShardedMap<RequestLog>>(reclaiming)),
      window_ms_(window_ms),
      max_requests_(max_requests),
      clock_(clock) {}

AlgorithmResult SlidingWindow::check(std::string_view key, Cost cost, CountAs count) const {
  // A log whose every entry is older than the cutoff would be empty after its
  // key's next eviction: the same as a new key's log.
  auto log = store_->entry_or_insert(
      key, [] { return RequestLog(); },
      [&] {
        return [cutoff = saturating_sub(clock_.now_ms(), window_ms_)](const RequestLog& other) {
          return other.all_before(cutoff);
        };
      });
  const uint64_t now = clock_.now_ms();
  AlgorithmResult result = sliding_window::decide(*log, now, window_ms_, max_requests_, cost);
  log.count(count, result.allowed);
  return result;
}

void SlidingWindow::refund(std::string_view key, uint64_t amount) const {
  auto log = store_->find_entry(key);
  if (log) sliding_window::refund(**log, clock_.now_ms(), window_ms_, amount);
}

}  // namespace vorn
