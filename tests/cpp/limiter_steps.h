// Table-driven checks of one limiter: each row moves the scripted clock to an
// offset, checks a key and states what the result must hold. The row's index is
// printed on failure.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "algorithms/algorithm_result.h"
#include "test_clock.h"

namespace vorn::testing {

inline constexpr std::optional<uint64_t> kAbsent = std::nullopt;

struct Step {
  uint64_t at;  // offset from the clock's start
  bool allowed;
  std::optional<uint64_t> remaining;
  std::optional<uint64_t> reset_after_ms;
  std::optional<uint64_t> retry_after_ms;
  std::string message;
};

template <typename Limiter>
void run_steps(ManualClock& clock, const Limiter& limiter, const std::vector<Step>& steps,
               const char* key = "client") {
  const uint64_t start = clock.now();
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    clock.set(start + step.at);
    AlgorithmResult result = limiter.check(key);
    EXPECT_EQ(result.allowed, step.allowed) << "step " << i;
    EXPECT_EQ(result.allowed, result.reason == LimitReason::WithinLimit) << "step " << i;
    EXPECT_EQ(result.remaining, step.remaining) << "step " << i;
    EXPECT_EQ(result.reset_after_ms, step.reset_after_ms) << "step " << i;
    EXPECT_EQ(result.retry_after_ms, step.retry_after_ms) << "step " << i;
    EXPECT_EQ(result.message, step.message) << "step " << i;
  }
}

}  // namespace vorn::testing
