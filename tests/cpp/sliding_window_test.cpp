#include "algorithms/sliding_window.h"

#include <gtest/gtest.h>

#include "algorithms/fatal_error.h"
#include "limiter_steps.h"

namespace vorn {
namespace {

using testing::kAbsent;
using testing::ManualClock;
using testing::run_steps;

TEST(SlidingWindow, WorkedExampleWithBoundary) {
  ManualClock clock;
  SlidingWindow window(60000, 3, clock.clock());
  run_steps(clock, window,
            {
                {0, true, 2, kAbsent, kAbsent, "2 requests remaining"},
                {10, true, 1, 59990, kAbsent, "1 requests remaining"},
                {20, true, 0, 59980, kAbsent, "0 requests remaining"},
                {30, false, 0, 59970, kAbsent, "0 requests remaining"},
                {60000, false, 0, 0, kAbsent, "0 requests remaining"},  // T still counts
                {60001, true, 0, 9, kAbsent, "0 requests remaining"},   // T evicted
            });
}

TEST(SlidingWindow, BurstThenFullWindowReset) {
  ManualClock clock;
  SlidingWindow window(60000, 2, clock.clock());
  run_steps(clock, window,
            {
                {0, true, 1, kAbsent, kAbsent, "1 requests remaining"},
                {0, true, 0, 60000, kAbsent, "0 requests remaining"},
                {0, false, 0, 60000, kAbsent, "0 requests remaining"},
                // The whole log expired: answered like a first request.
                {200000, true, 1, kAbsent, kAbsent, "1 requests remaining"},
            });
}

TEST(SlidingWindow, ClockSteppingBackwardsEvictsFromTheFrontOnly) {
  ManualClock clock;
  SlidingWindow window(1000, 3, clock.clock());
  const uint64_t start = clock.now();
  window.check("k");  // logged at start
  clock.set(start - 5000);
  window.check("k");        // logged at start-5000, behind a newer front
  clock.set(start + 1500);  // front (start) expired, then start-5000 too
  AlgorithmResult result = window.check("k");
  EXPECT_TRUE(result.allowed);
  EXPECT_EQ(result.reset_after_ms, kAbsent);
  EXPECT_EQ(result.remaining, 2u);
  // A newer front keeps an expired entry behind it; reset can exceed the window.
  clock.set(start + 10000);
  window.check("k");
  clock.set(start + 3000);
  window.check("k");        // log: start+10000, start+3000
  clock.set(start + 4500);  // start+3000 expired but behind the front
  result = window.check("k");
  EXPECT_EQ(result.reset_after_ms, 6500u);
  EXPECT_EQ(result.remaining, 0u);  // two counted plus this one: nothing was evicted
}

TEST(SlidingWindow, EarlyClockEvictsNothingAndZeroMaxRefuses) {
  ManualClock clock(500);  // less than a window after the epoch: cutoff 0
  SlidingWindow window(60000, 1, clock.clock());
  EXPECT_TRUE(window.check("k").allowed);
  clock.set(40000);
  EXPECT_FALSE(window.check("k").allowed);
  SlidingWindow none(60000, 0, clock.clock());
  AlgorithmResult result = none.check("k");
  EXPECT_FALSE(result.allowed);
  EXPECT_EQ(result.reason, LimitReason::LimitExceeded);
  EXPECT_EQ(result.reset_after_ms, kAbsent);
}

TEST(SlidingWindow, MaxU64NeverRefuses) {
  ManualClock clock;
  SlidingWindow window(60000, UINT64_MAX, clock.clock());
  EXPECT_EQ(window.check("k").remaining, UINT64_MAX - 1);
  EXPECT_EQ(window.check("k").remaining, UINT64_MAX - 2);
}

TEST(SlidingWindow, ClockBeforeEpochKeepsTheNewEmptyLog) {
  ManualClock clock;
  SlidingWindow window(60000, 2, clock.clock());
  clock.set_before_epoch();
  EXPECT_THROW(window.check("k"), FatalError);
  EXPECT_EQ(window.store().size(), 1u);
  clock.set(clock.now());
  EXPECT_EQ(window.check("k").reset_after_ms, kAbsent);
}

}  // namespace
}  // namespace vorn
