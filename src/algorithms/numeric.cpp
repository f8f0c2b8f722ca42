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
  char buffer[400];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, std::nearbyint(value),
                                    std::chars_format::fixed, 0);
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

}  // namespace vorn
