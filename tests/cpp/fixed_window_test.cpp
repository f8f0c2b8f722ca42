#include "algorithms/fixed_window.h"

#include <gtest/gtest.h>

#include "algorithms/fatal_error.h"
#include "limiter_steps.h"

namespace vorn {
namespace {

using testing::kAbsent;
using testing::ManualClock;
using testing::run_steps;

TEST(FixedWindow, WorkedExampleRollsOverAtExactlyTheEnd) {
  ManualClock clock;
  FixedWindow window(60000, 2, clock.clock());
  run_steps(clock, window,
            {
                {0, true, 1, 60000, kAbsent, "1 requests remaining"},
                {100, true, 0, 59900, kAbsent, "0 requests remaining"},
                {200, false, 0, 59800, kAbsent, "0 requests remaining"},
                {59999, false, 0, 1, kAbsent, "0 requests remaining"},
                {60000, true, 1, 60000, kAbsent, "1 requests remaining"},
                // A quiet key's next window opens at its next request.
                {500000, true, 1, 60000, kAbsent, "1 requests remaining"},
                {500001, true, 0, 59999, kAbsent, "0 requests remaining"},
            });
}

TEST(FixedWindow, ClockSteppingBackwardsKeepsTheWindowStart) {
  ManualClock clock;
  FixedWindow window(60000, 5, clock.clock());
  const uint64_t start = clock.now();
  window.check("k");
  clock.set(start - 10000);
  EXPECT_EQ(window.check("k").reset_after_ms, 60000u);
  clock.set(start + 59999);
  AlgorithmResult result = window.check("k");
  EXPECT_EQ(result.reset_after_ms, 1u);
  EXPECT_EQ(result.remaining, 2u);
}

TEST(FixedWindow, ZeroMaxRefusesAndZeroWindowAlwaysRolls) {
  ManualClock clock;
  FixedWindow none(60000, 0, clock.clock());
  AlgorithmResult result = none.check("k");
  EXPECT_FALSE(result.allowed);
  EXPECT_EQ(result.reason, LimitReason::LimitExceeded);
  EXPECT_EQ(result.message, "0 requests remaining");
  FixedWindow instant(0, 1, clock.clock());
  for (int i = 0; i < 3; ++i) {
    result = instant.check("k");
    EXPECT_TRUE(result.allowed);
    EXPECT_EQ(result.reset_after_ms, 0u);
  }
}

TEST(FixedWindow, ClockBeforeEpochInsertsNothing) {
  ManualClock clock;
  FixedWindow window(60000, 2, clock.clock());
  clock.set_before_epoch();
  EXPECT_THROW(window.check("k"), FatalError);
  EXPECT_EQ(window.store().size(), 0u);
}

}  // namespace
}  // namespace vorn
