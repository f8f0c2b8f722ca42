// The wall clock in milliseconds since the Unix epoch, and the seam through which
// limiters and the engine read it.
//
// now_ms() is not monotonic: a stepped system clock steps its result. A clock that
// reads earlier than the epoch cannot produce a value; the reading then throws a
// FatalError whose message ends in "SystemTimeError(<distance before the epoch>)".
//
// A Clock is a plain value (a function pointer and a context pointer) so that
// reading it costs one indirect call. Clock::system() reads the real clock; tests
// build their own from a scripted source. Thread-safe as long as the source is.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// Wall-clock milliseconds since the Unix epoch, truncated. Thread-safe.
// Throws FatalError when the clock reads before the epoch.
uint64_t now_ms();

// now_ms() in the shape of a Clock's reader, so a system Clock costs one call.
uint64_t read_system_clock(const void* unused_context);

// Renders a distance before the epoch the way the fatal clock message shows it,
// for example "1.5s" or "250ms".
std::string format_duration(uint64_t seconds, uint32_t nanoseconds);

// Throws the fatal "clock before the epoch" error for the given distance.
[[noreturn]] void throw_clock_before_epoch(uint64_t seconds, uint32_t nanoseconds);

class Clock {
 public:
  using ReadFn = uint64_t (*)(const void* context);

  constexpr Clock(ReadFn read, const void* context) : read_(read), context_(context) {}

  static Clock system() { return Clock(&read_system_clock, nullptr); }

  uint64_t now_ms() const { return read_(context_); }

 private:
  ReadFn read_;
  const void* context_;
};

}  // namespace vorn
