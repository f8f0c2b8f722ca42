// A FuzzInput hands out the fuzzer's bytes as the values the driver needs:
// small choices, raw 64-bit numbers, doubles biased towards the values that
// break arithmetic (0, negatives, NaN, infinities, 1e30) and byte strings. An
// exhausted input keeps answering zeros, so every byte string is a valid
// program. Not thread-safe; one per fuzz iteration.
//
// A FuzzClock is the scripted wall clock the limiters read: it moves only when
// the driver says so (forwards, backwards, jumps) and can be armed to fail one
// reading, or every reading, the way a clock before the Unix epoch fails. A
// forward-only clock ignores every move that would take it back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "algorithms/clock.h"

namespace vorn::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }

  uint8_t byte() { return empty() ? 0 : data_[pos_++]; }

  uint64_t u64() {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | byte();
    return value;
  }

  // One of the values that arithmetic gets wrong, or eight raw bytes.
  double f64() {
    static constexpr double kSpecial[] = {0.0,
                                          -0.0,
                                          1.0,
                                          -1.0,
                                          0.5,
                                          2.7,
                                          3.0,
                                          10.0,
                                          100.0,
                                          -5.0,
                                          1e-300,
                                          0.001,
                                          1e30,
                                          -1e30,
                                          9007199254740993.0,
                                          std::numeric_limits<double>::max(),
                                          std::numeric_limits<double>::denorm_min(),
                                          std::numeric_limits<double>::infinity(),
                                          -std::numeric_limits<double>::infinity(),
                                          std::numeric_limits<double>::quiet_NaN()};
    constexpr size_t kCount = sizeof(kSpecial) / sizeof(kSpecial[0]);
    const uint8_t choice = byte();
    if (choice < 3 * kCount) return kSpecial[choice % kCount];
    const uint64_t bits = u64();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

  // One of the window parameters worth trying, or eight raw bytes.
  uint64_t window_u64() {
    static constexpr uint64_t kSpecial[] = {0,         1, 2, 3, 5, 10, 1000, 60000, UINT64_MAX - 1,
                                            UINT64_MAX};
    constexpr size_t kCount = sizeof(kSpecial) / sizeof(kSpecial[0]);
    const uint8_t choice = byte();
    return choice < 20 * kCount ? kSpecial[choice % kCount] : u64();
  }

  // Up to `max_size` bytes, any values (not necessarily UTF-8).
  std::string bytes(size_t max_size) {
    const size_t wanted = byte() % (max_size + 1);
    const size_t taken = std::min(wanted, size_ - std::min(pos_, size_));
    std::string out(reinterpret_cast<const char*>(data_ + pos_), taken);
    pos_ += taken;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

class FuzzClock {
 public:
  FuzzClock(uint64_t start_ms, bool forward_only) : now_(start_ms), forward_only_(forward_only) {}

  Clock clock() const { return Clock(&read, this); }

  uint64_t now() const { return now_; }
  void set(uint64_t ms) { now_ = forward_only_ ? std::max(now_, ms) : ms; }
  void forward(uint64_t ms) { now_ = now_ + ms < now_ ? UINT64_MAX : now_ + ms; }
  void backward(uint64_t ms) {
    if (!forward_only_) now_ = now_ > ms ? now_ - ms : 0;
  }
  // The reading after `good_reads` more readings fails once.
  void fail_once_after(unsigned good_reads) { fail_in_ = good_reads + 1; }
  // While set, every reading fails.
  void set_before_epoch(bool before) { before_epoch_ = before; }
  bool armed() const { return before_epoch_ || fail_in_ != 0; }
  void disarm() {
    fail_in_ = 0;
    before_epoch_ = false;
  }

 private:
  static uint64_t read(const void* context) {
    auto* self = const_cast<FuzzClock*>(static_cast<const FuzzClock*>(context));
    if (self->fail_in_ != 0 && --self->fail_in_ == 0) throw_clock_before_epoch(0, 1500000);
    if (self->before_epoch_) throw_clock_before_epoch(3, 0);
    return self->now_;
  }

  uint64_t now_;
  bool forward_only_;
  unsigned fail_in_ = 0;
  bool before_epoch_ = false;
};

}  // namespace vorn::fuzz
