#include "algorithms/limit_message.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <ostream>

#include "algorithms/numeric.h"

namespace vorn {
namespace {

std::string_view words_for(LimitMessage::Unit unit) {
  switch (unit) {
    case LimitMessage::Unit::Tokens:
      return " tokens remaining";
    case LimitMessage::Unit::Requests:
      return " requests remaining";
    case LimitMessage::Unit::BucketSpace:
      return " bucket space remaining";
  }
  return "";
}

}  // namespace

std::string_view LimitMessage::render(Buffer& buffer) const {
  if (form_ == Form::Fixed) return fixed_;
  char* const end = buffer.data() + buffer.size();
  char* written = form_ == Form::Whole ? write_decimal(buffer.data(), end, whole_)
                                       : write_count(buffer.data(), end, rounded_);
  const std::string_view words = words_for(unit_);
  written = std::copy(words.begin(), words.end(), written);
  return {buffer.data(), static_cast<size_t>(written - buffer.data())};
}

LimitMessage::TextKey LimitMessage::text_key() const {
  switch (form_) {
    case Form::Fixed:
      return TextKey{.fixed = fixed_.data(), .fixed_size = fixed_.size(), .form = form_};
    case Form::Whole:
      return TextKey{.count = whole_, .form = form_, .unit = unit_};
    case Form::Rounded:
      // The rounding write_count prints, with its sign (-0 is not 0).
      return TextKey{.count = std::bit_cast<uint64_t>(std::nearbyint(rounded_)),
                     .form = form_,
                     .unit = unit_};
  }
  return TextKey{};
}

std::string LimitMessage::text() const {
  Buffer buffer;
  return std::string(render(buffer));
}

std::ostream& operator<<(std::ostream& out, const LimitMessage& message) {
  return out << message.text();
}

}  // namespace vorn
