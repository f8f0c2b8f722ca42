#include "algorithms/fixed_window.h"

#include <algorithm>

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

namespace {

// Rolls `window` over when it ran out and returns the time left in it. The
// roll-over comes before any admission test, so a refused check rolls too.
uint64_t roll(Window& window, uint64_t now, uint64_t window_ms) {
  const uint64_t elapsed = saturating_sub(now, window.window_start);
  if (elapsed >= window_ms) {
    window.count = 0;
    window.window_start = now;
    return window_ms;
  }
  return window_ms - elapsed;
}

}  // namespace

AlgorithmResult decide(Window& window, uint64_t now, uint64_t window_ms, uint64_t max_requests,
                       Cost cost) {
  const uint64_t time_left = roll(window, now, window_ms);
  const uint64_t need = std::max<uint64_t>(to_u64_saturating(cost.need), 1);
  const bool never_fits = need > 1 && need > max_requests;

  if (never_fits || window.count >= max_requests || need > max_requests - window.count) {
    AlgorithmResult refused = requests_refused(time_left);
    // A limit of 0 admits nothing, in any window.
    refused.next_admission_ms =
        max_requests > 0 && !never_fits ? std::optional<uint64_t>(time_left) : std::nullopt;
    refused.full_reset_ms = window.count > 0 ? time_left : 0;
    return refused;
  }
  window.count += to_u64_saturating(cost.take);
  AlgorithmResult admitted = requests_admitted(max_requests - window.count, time_left);
  admitted.next_admission_ms = need <= max_requests - window.count ? 0 : time_left;
  admitted.full_reset_ms = time_left;
  return admitted;
}

void roll_over(Window& window, uint64_t now, uint64_t window_ms) { roll(window, now, window_ms); }

void refund(Window& window, uint64_t now, uint64_t window_ms, uint64_t amount) {
  // A window that ran out holds nothing to give back; the next request, not
  // the refund, opens the next one.
  if (saturating_sub(now, window.window_start) >= window_ms) return;
  window.count -= std::min(window.count, amount);
}

}  // namespace fixed_window

AlgorithmResult FixedWindow::check(std::string_view key, Cost cost, CountAs count) const {
  auto window = store_->entry_or_insert(
      key, [&] { return fixed_window::fresh(clock_.now_ms()); },
      [&] {
        return [this, now = clock_.now_ms()](const Window& other) {
          return fixed_window::is_fresh_equivalent(other, now, window_ms_);
        };
      });
  const uint64_t now = clock_.now_ms();
  AlgorithmResult result = fixed_window::decide(*window, now, window_ms_, max_requests_, cost);
  window.count(count, result.allowed);
  return result;
}

void FixedWindow::refund(std::string_view key, uint64_t amount) const {
  auto window = store_->find_entry(key);
  if (window) fixed_window::refund(**window, clock_.now_ms(), window_ms_, amount);
}

}  // namespace vorn
