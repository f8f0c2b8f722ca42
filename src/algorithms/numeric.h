// Units and saturation shared by the limiters: unsigned millisecond arithmetic
// that never wraps, the float-to-u64 conversion and the rendering of counts in
// messages. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

constexpr uint64_t saturating_sub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

constexpr uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

// Truncates toward zero; NaN and negative values give 0, values of 2^64 or more
// (positive infinity included) give the u64 maximum.
uint64_t to_u64_saturating(double value);

// fmod(value, 1.0) without the library call: for every finite value the
// difference from its truncation is exact; infinities and NaN give NaN.
inline double fractional_part(double value) { return value - __builtin_trunc(value); }

// Appends `value` with no decimal places: rounded to nearest with an exact half
// going to the even neighbour (2.5 -> "2", 3.5 -> "4"), a negative value keeps
// its sign even when it rounds to zero ("-0"), infinities are "inf"/"-inf" and
// not-a-number is "NaN".
void append_count(std::string& out, double value);
std::string format_count(double value);

// Appends a plain decimal integer.
void append_decimal(std::string& out, uint64_t value);

// A count followed by `suffix`, built with a single allocation: the count as
// append_count writes it (a double) or as a plain decimal (an integer).
std::string count_message(double count, std::string_view suffix);
std::string count_message(uint64_t count, std::string_view suffix);

}  // namespace vorn
