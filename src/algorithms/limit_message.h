// A LimitMessage is a limiter's human-readable account of what is left ("9
// tokens remaining", "0 requests remaining", "disabled"). It keeps the count and
// the words that follow it and writes the text out only when someone reads it:
// most checks never show the message to anyone, so building it on every check
// would be wasted work. A plain value; fixed texts must outlive it (literals).
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

namespace vorn {

class LimitMessage {
 public:
  enum class Unit : uint8_t { Tokens, Requests, BucketSpace };

  // Enough for the longest text: a 309-digit count, its sign and the words.
  using Buffer = std::array<char, 400>;

  // The count written with no decimals, rounded half to even, a negative value
  // keeping its sign ("-0"), "inf" and "NaN" as such.
  static LimitMessage rounded(double count, Unit unit) {
    LimitMessage message(Form::Rounded, unit);
    message.rounded_ = count;
    return message;
  }

  // The count as a plain decimal integer.
  static LimitMessage whole(uint64_t count, Unit unit) {
    LimitMessage message(Form::Whole, unit);
    message.whole_ = count;
    return message;
  }

  // A fixed text with static storage duration.
  static LimitMessage fixed(std::string_view text) {
    LimitMessage message(Form::Fixed, Unit::Tokens);
    message.fixed_ = text;
    return message;
  }

  LimitMessage() : LimitMessage(Form::Fixed, Unit::Tokens) {}

  // The text, written into `buffer` when it is not a fixed one; the view is
  // valid while `buffer` is.
  std::string_view render(Buffer& buffer) const;

 private:
  enum class Form : uint8_t { Rounded, Whole, Fixed };

 public:
  // What the text is made of, so that a caller keeping the last text can tell
  // it unchanged without writing it out: equal keys read alike. A rounded
  // count is keyed by its rounding, since 9.2 and 9.4 tokens both read "9
  // tokens remaining". Unequal keys may still read alike (two copies of one
  // fixed text, NaNs of other payloads), so a mismatch is no proof of change.
  struct TextKey {
    uint64_t count = 0;
    const char* fixed = nullptr;
    size_t fixed_size = 0;
    Form form = Form::Fixed;
    Unit unit = Unit::Tokens;
    bool operator==(const TextKey&) const = default;
  };
  TextKey text_key() const;
  std::string text() const;

  friend bool operator==(const LimitMessage& message, std::string_view text) {
    return message.text() == text;
  }
  friend bool operator==(const LimitMessage& a, const LimitMessage& b) {
    return a.text() == b.text();
  }
  friend std::ostream& operator<<(std::ostream& out, const LimitMessage& message);

 private:
  LimitMessage(Form form, Unit unit) : form_(form), unit_(unit) {}

  Form form_;
  Unit unit_;
  union {
    double rounded_;
    uint64_t whole_ = 0;
  };
  std::string_view fixed_;
};

}  // namespace vorn
