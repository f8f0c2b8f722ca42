// AlgorithmResult is what every limiter's check returns: the verdict, its reason
// code and what is left of the key's allowance. Plain value; the caller owns it.
//
// Every admission carries LimitReason::WithinLimit, and no refusal does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "algorithms/limit_message.h"

namespace vorn {

enum class LimitReason : uint8_t {
  WithinLimit = 0,
  LimitExceeded = 1,
  TokenExhausted = 2,
};

struct AlgorithmResult {
  bool allowed = false;
  LimitReason reason = LimitReason::WithinLimit;
  // Whole units of allowance left after this request; every limiter sets it.
  std::optional<uint64_t> remaining;
  // Until the current window ends (fixed window) or the oldest logged request
  // leaves the window (sliding window).
  std::optional<uint64_t> reset_after_ms;
  // Until the bucket next gains a whole token; token bucket only.
  std::optional<uint64_t> retry_after_ms;
  // Until the key would next be admitted (0 while it would be now), and until
  // its allowance is whole again (0 when it is); every limiter sets both, and
  // leaves one absent only when that time never comes (nothing refills).
  std::optional<uint64_t> next_admission_ms;
  std::optional<uint64_t> full_reset_ms;
  LimitMessage message;
  // Which of a limit's rates the figures describe (0 for a limit of one).
  uint8_t rate = 0;
  // Whether the store's failure policy answered, its store being unusable.
  bool by_policy = false;
};

}  // namespace vorn
