#include "algorithms/fixed_window.h"

#include "algorithms/numeric.h"
#include "algorithms/window_result.h"

namespace vorn {

FixedWindow::FixedWindow(uint64_t window_ms, uint64_t max_requests, Clock clock,
                         Reclaiming reclaiming)
    : store_(std::make_shared<ShardedMap<Window>>(reclaiming)),
      window_ms_(window_ms),
      max_requests_(max_requests),
      clock_(clock) {}

namespace fixed_window {

bool is_fresh_equivalent(const Window& window, uint64_t now, uint64_t window_ms) {
  return saturating_sub(now, window.window_start) >= window_ms;
}

AlgorithmResult decide(Window& window, uint64_t now, uint64_t window_ms, uint64_t max_requests) {
  const uint64_t elapsed = saturating_sub(now, window.window_start);
  uint64_t time_left;
  // The roll-over comes before the admission test, so a refused check rolls too.
  if (elapsed >= window_ms) {
    window.count = 0;
    window.window_start = now;
    time_left = window_ms;
  } else {
    time_left = window_ms - elapsed;
  }

  if (window.count >= max_requests) {
    AlgorithmResult refused = requests_refused(time_left);
    // A limit of 0 admits nothing, in any window.
    refused.next_admission_ms = max_requests > 0 ? std::optional<uint64_t>(time_left) : std::nullopt;
    refused.full_reset_ms = window.count > 0 ? time_left : 0;
    return refused;
  }
  window.count += 1;
  AlgorithmResult admitted = requests_admitted(max_requests - window.count, time_left);
  admitted.next_admission_ms = window.count < max_requests ? 0 : time_left;
  admitted.full_reset_ms = time_left;
  return admitted;
}

}  // namespace fixed_window

AlgorithmResult FixedWindow::check(std::string_view key) const {
  auto window = store_->entry_or_insert(
      key, [&] { return fixed_window::fresh(clock_.now_ms()); },
      [&] {
        return [this, now = clock_.now_ms()](const Window& other) {
          return fixed_window::is_fresh_equivalent(other, now, window_ms_);
        };
      });
  const uint64_t now = clock_.now_ms();
  return fixed_window::decide(*window, now, window_ms_, max_requests_);
}

}  // namespace vorn
