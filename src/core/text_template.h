// Fills message templates: each "{}" of a pattern, left to right, is replaced by
// the next value; a placeholder without a value stays as it is. Both host
// bindings keep their fixed texts as such templates. Pure; thread-safe.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace vorn {

inline std::string fill_template(std::string_view pattern,
                                 std::initializer_list<std::string_view> values) {
  std::string text;
  text.reserve(pattern.size() + 64);
  auto next = values.begin();
  for (size_t at = 0; at < pattern.size(); ++at) {
    if (next != values.end() && pattern[at] == '{' && at + 1 < pattern.size() &&
        pattern[at + 1] == '}') {
      text.append(*next++);
      ++at;
    } else {
      text.push_back(pattern[at]);
    }
  }
  return text;
}

}  // namespace vorn
