// A scripted wall clock for tests: reads whatever time was last set, or fails
// like a clock before the Unix epoch. Not thread-safe to set while readers run;
// reading is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

#include "algorithms/clock.h"

namespace vorn::testing {

class ManualClock {
 public:
  explicit ManualClock(uint64_t start_ms = 1'700'000'000'000) : now_(start_ms) {}

  Clock clock() const { return Clock(&read, this); }

  void set(uint64_t ms) {
    now_ = ms;
    before_epoch_ = false;
  }
  void advance(uint64_t ms) { now_ += ms; }
  void go_back(uint64_t ms) { now_ -= ms; }
  // Every reading fails as if the clock were 1.5 s before the epoch.
  void set_before_epoch() { before_epoch_ = true; }
  // Readings succeed `good_reads` more times, then fail like set_before_epoch().
  void fail_after(uint64_t good_reads) { fail_at_read_ = reads_ + good_reads + 1; }
  uint64_t now() const { return now_; }
  uint64_t reads() const { return reads_; }

 private:
  static uint64_t read(const void* context) {
    auto* self = static_cast<const ManualClock*>(context);
    ++self->reads_;
    if (self->before_epoch_ || self->reads_ == self->fail_at_read_) {
      self->before_epoch_ = true;
      throw_clock_before_epoch(1, 500000000);
    }
    return self->now_;
  }

  std::atomic<uint64_t> now_;
  mutable std::atomic<bool> before_epoch_{false};
  std::atomic<uint64_t> fail_at_read_{0};
  mutable std::atomic<uint64_t> reads_{0};
};

inline constexpr char kClockFailure[] =
    "called `Result::unwrap()` on an `Err` value: SystemTimeError(1.5s)";

}  // namespace vorn::testing
