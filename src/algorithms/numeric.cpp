#include "algorithms/numeric.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace vorn {

char* write_decimal(char* out, char* end, uint64_t value) {
  return std::to_chars(out, end, value).ptr;
}

char* write_count(char* out, char* end, double value) {
  auto put = [&](const char* text) {
    const size_t size = std::strlen(text);
    std::memcpy(out, text, size);
    return out + size;
  };
  if (std::isnan(value)) return put("NaN");
  if (std::isinf(value)) return put(value < 0 ? "-inf" : "inf");
  // nearbyint rounds half to even in the default rounding mode and keeps the
  // sign of a negative value that rounds to zero; the integral result then
  // prints exactly.
  const double rounded = std::nearbyint(value);
  if (std::fabs(rounded) < 9007199254740992.0) {  // below 2^53: exact as an integer
    if (std::signbit(rounded)) *out++ = '-';
    return write_decimal(out, end, static_cast<uint64_t>(std::fabs(rounded)));
  }
  return std::to_chars(out, end, rounded, std::chars_format::fixed, 0).ptr;
}

std::string format_count(double value) {
  char buffer[320];
  return std::string(buffer, write_count(buffer, buffer + sizeof buffer, value));
}

}  // namespace vorn
