// A LimitPolicy is what a limiter promises every key, in the terms clients are
// told: `limit` requests, and `window_ms`, the time in which a drained
// allowance becomes whole again (absent when it never does). Plain value.
#pragma once

#include <cstdint>
#include <optional>

namespace vorn {

struct LimitPolicy {
  uint64_t limit = 0;
  std::optional<uint64_t> window_ms;
};

}  // namespace vorn
