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

// A place frees when the entry that holds the log at the limit leaves the
// window; the allowance is whole when the newest entry has left.
void SlidingWindow::set_waits(AlgorithmResult& result, const RequestLog& log, uint64_t now) const {
  // An entry still counts at logged + window_ms, so it is gone a millisecond later.
  const auto leaves_in = [&](uint64_t logged) {
    return saturating_sub(saturating_add(saturating_add(logged, window_ms_), 1), now);
  };
  const uint64_t count = log.size();
  if (max_requests_ == 0) {
    result.next_admission_ms = std::nullopt;
  } else if (count < max_requests_) {
    result.next_admission_ms = 0;
  } else {
    result.next_admission_ms = leaves_in(log.at(count - max_requests_));
  }
  result.full_reset_ms = count == 0 ? 0 : leaves_in(log.at(count - 1));
}

AlgorithmResult SlidingWindow::check(std::string_view key) const {
  auto log = store_->entry_or_insert(key, [] { return RequestLog(); });
  const uint64_t now = clock_.now_ms();
  const uint64_t cutoff = saturating_sub(now, window_ms_);
  if (log.inserted()) {
    // A log whose every entry is older than the cutoff would be empty after
    // its key's next eviction: the same as a new key's log.
    log.reclaim_others([&](const RequestLog& other) { return other.all_before(cutoff); });
  }
  // Only the front is examined: behind a newer front (a clock that stepped
  // back) older entries wait until the front itself expires.
  while (!log->empty() && log->front() < cutoff) log->pop_front();
  const uint64_t count = log->size();

  // Until the oldest counted request stops being counted; nothing when none is.
  std::optional<uint64_t> reset_after_ms;
  if (!log->empty()) {
    reset_after_ms = saturating_sub(saturating_add(log->front(), window_ms_), now);
  }
  if (count >= max_requests_) {
    AlgorithmResult refused = requests_refused(reset_after_ms);  // refusals are not logged
    set_waits(refused, *log, now);
    return refused;
  }
  log->push_back(now);
  AlgorithmResult admitted = requests_admitted(max_requests_ - (count + 1), reset_after_ms);
  set_waits(admitted, *log, now);
  return admitted;
}

}  // namespace vorn
