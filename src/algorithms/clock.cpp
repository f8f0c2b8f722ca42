#include "algorithms/clock.h"

#include <time.h>

#include "algorithms/fatal_error.h"
#include "algorithms/numeric.h"

namespace vorn {

uint64_t read_system_clock(const void*) { return now_ms(); }

uint64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) {
    // tv_nsec counts forward from tv_sec, so the distance before the epoch is
    // -tv_sec seconds less tv_nsec nanoseconds.
    uint64_t seconds = static_cast<uint64_t>(-(ts.tv_sec + 1));
    uint32_t nanoseconds = static_cast<uint32_t>(1000000000L - ts.tv_nsec);
    if (nanoseconds == 1000000000U) {
      seconds += 1;
      nanoseconds = 0;
    }
    throw_clock_before_epoch(seconds, nanoseconds);
  }
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

namespace {

// Writes `whole` followed by the fraction `part` / `scale` with trailing zeros dropped.
void append_scaled(std::string& out, uint64_t whole, uint64_t part, uint64_t scale,
                   const char* unit) {
  out += std::to_string(whole);
  if (part != 0) {
    std::string digits;
    for (uint64_t s = scale / 10; s > 0; s /= 10) {
      digits += static_cast<char>('0' + (part / s) % 10);
    }
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    out += '.';
    out += digits;
  }
  out += unit;
}

}  // namespace

std::string format_duration(uint64_t seconds, uint32_t nanoseconds) {
  std::string out;
  if (seconds > 0) {
    append_scaled(out, seconds, nanoseconds, 1000000000, "s");
  } else if (nanoseconds >= 1000000) {
    append_scaled(out, nanoseconds / 1000000, nanoseconds % 1000000, 1000000, "ms");
  } else if (nanoseconds >= 1000) {
    append_scaled(out, nanoseconds / 1000, nanoseconds % 1000, 1000, "\xC2\xB5s");
  } else {
    append_scaled(out, nanoseconds, 0, 1, "ns");
  }
  return out;
}

void throw_clock_before_epoch(uint64_t seconds, uint32_t nanoseconds) {
  throw_unwrap_failure("SystemTimeError(" + format_duration(seconds, nanoseconds) + ")");
}

}  // namespace vorn
