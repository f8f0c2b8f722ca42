#include "algorithms/numeric.h"

#include <charconv>
#include <cmath>

namespace vorn {

uint64_t to_u64_saturating(double value) {
  if (!(value > 0.0)) return 0;  // NaN, zero and negatives
  if (value >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(value);
}

void append_count(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // nearbyint rounds half to even in the default rounding mode and keeps the
  // sign of a negative value that rounds to zero; the integral result then
  // prints exactly.
  const double rounded = std::nearbyint(value);
  if (std::fabs(rounded) < 9007199254740992.0) {  // 2^53: exact as an integer
    if (std::signbit(rounded)) out += '-';
    append_decimal(out, static_cast<uint64_t>(std::fabs(rounded)));
    return;
  }
  char buffer[400];
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, rounded, std::chars_format::fixed, 0);
  out.append(buffer, end);
  (void)error;
}

std::string format_count(double value) {
  std::string out;
  append_count(out, value);
  return out;
}

void append_decimal(std::string& out, uint64_t value) {
  char buffer[24];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
  (void)error;
}

namespace {

// Digits of `value` written backwards from `end`; returns the first digit.
char* write_decimal_backwards(char* end, uint64_t value) {
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return end;
}

std::string with_suffix(const char* count, size_t count_size, std::string_view suffix) {
  std::string message;
  message.reserve(count_size + suffix.size());
  message.append(count, count_size);
  message.append(suffix);
  return message;
}

}  // namespace

std::string count_message(double count, std::string_view suffix) {
  const double rounded = std::nearbyint(count);
  if (std::fabs(rounded) < 9007199254740992.0) {
    char buffer[24];
    char* end = buffer + sizeof buffer;
    char* first = write_decimal_backwards(end, static_cast<uint64_t>(std::fabs(rounded)));
    if (std::signbit(rounded)) *--first = '-';
    return with_suffix(first, static_cast<size_t>(end - first), suffix);
  }
  std::string message = format_count(count);
  message.append(suffix);
  return message;
}

std::string count_message(uint64_t count, std::string_view suffix) {
  char buffer[24];
  char* end = buffer + sizeof buffer;
  char* first = write_decimal_backwards(end, count);
  return with_suffix(first, static_cast<size_t>(end - first), suffix);
}

}  // namespace vorn
