// Units and saturation shared by the limiters: unsigned millisecond arithmetic
// that never wraps, the float-to-u64 conversion and the writing of counts.
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

constexpr uint64_t saturating_sub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

constexpr uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

// Truncates toward zero; NaN and negative values give 0, values of 2^64 or more
// (positive infinity included) give the u64 maximum. Inline: every check's
// figures go through it several times.
inline uint64_t to_u64_saturating(double value) {
  if (!(value > 0.0)) return 0;  // NaN, zero and negatives
  if (value >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(value);
}

// std::fmin and std::fmax, answer for answer (a NaN operand gives the other
// one; equal operands, signed zeros included, give the second), without the
// library call that the compiler otherwise keeps.
inline double fmin_exact(double a, double b) {
  if (a < b) return a;
  return b != b ? a : b;
}
inline double fmax_exact(double a, double b) {
  if (a > b) return a;
  return b != b ? a : b;
}

// fmod(value, 1.0) without the library call: for every finite value the
// difference from its truncation is exact; infinities and NaN give NaN.
inline double fractional_part(double value) { return value - __builtin_trunc(value); }

// Writes `value` with no decimal places at `out` (up to 311 bytes) and returns
// the end: rounded to nearest with an exact half going to the even neighbour
// (2.5 -> "2", 3.5 -> "4"), a negative value keeping its sign even when it
// rounds to zero ("-0"), infinities as "inf"/"-inf", not-a-number as "NaN".
char* write_count(char* out, char* end, double value);

// Writes a plain decimal integer at `out` (up to 20 bytes) and returns the end.
char* write_decimal(char* out, char* end, uint64_t value);

std::string format_count(double value);

}  // namespace vorn
