#include "algorithms/sliding_window.h"

#include "algorithms/numeric.h"
#include "algorithms/window_result.h"

namespace vorn {

SlidingWindow::SlidingWindow(uint64_t window_ms, uint64_t max_requests, Clock clock,
                             Reclaiming reclaiming)
    : store_(std::make_shared<ShardedMap<RequestLog>>(reclaiming)),
      window_ms_(window_ms),
      max_requests_(max_requests),
      clock_(clock) {}

AlgorithmResult SlidingWindow::check(std::string_view key) const {
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
  const uint64_t cutoff = saturating_sub(now, window_ms_);
  // Only the front is examined: behind a newer front (a clock that stepped
  // back) older entries wait until the front itself expires.
  while (!log->empty() && log->front() < cutoff) log->pop_front();
  const uint64_t count = log->size();

  // Until the oldest counted request stops being counted; nothing when none is.
  std::optional<uint64_t> reset_after_ms;
  if (!log->empty()) {
    reset_after_ms = saturating_sub(saturating_add(log->front(), window_ms_), now);
  }
  if (count >= max_requests_) return requests_refused(reset_after_ms);  // refusals are not logged
  log->push_back(now);
  return requests_admitted(max_requests_ - (count + 1), reset_after_ms);
}

}  // namespace vorn
