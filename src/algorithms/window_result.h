// The answers of the two window limiters, which count whole requests: an
// admission with the places left in the window, or a refusal with none.
#pragma once

#include <cstdint>
#include <optional>

#include "algorithms/algorithm_result.h"

namespace vorn {

inline AlgorithmResult requests_admitted(uint64_t remaining,
                                         std::optional<uint64_t> reset_after_ms) {
  return AlgorithmResult{
      .allowed = true,
      .reason = LimitReason::WithinLimit,
      .remaining = remaining,
      .reset_after_ms = reset_after_ms,
      .retry_after_ms = std::nullopt,
      .next_admission_ms = std::nullopt,  // set by the limiter, which knows its log
      .full_reset_ms = std::nullopt,
      .message = LimitMessage::whole(remaining, LimitMessage::Unit::Requests),
  };
}

inline AlgorithmResult requests_refused(std::optional<uint64_t> reset_after_ms) {
  return AlgorithmResult{
      .allowed = false,
      .reason = LimitReason::LimitExceeded,
      .remaining = 0,
      .reset_after_ms = reset_after_ms,
      .retry_after_ms = std::nullopt,
      .next_admission_ms = std::nullopt,  // set by the limiter, which knows its log
      .full_reset_ms = std::nullopt,
      .message = LimitMessage::fixed("0 requests remaining"),
  };
}

}  // namespace vorn
