#include "algorithms/leaky_bucket.h"

#include <gtest/gtest.h>

#include "algorithms/fatal_error.h"
#include "limiter_steps.h"

namespace vorn {
namespace {

using testing::kAbsent;
using testing::ManualClock;
using testing::run_steps;

TEST(LeakyBucket, WorkedExampleWithNegativeZeroMessage) {
  ManualClock clock;
  LeakyBucket bucket(3, 1, clock.clock());
  run_steps(clock, bucket,
            {
                {0, true, 2, kAbsent, kAbsent, "2 bucket space remaining"},
                {0, true, 1, kAbsent, kAbsent, "1 bucket space remaining"},
                {0, true, 0, kAbsent, kAbsent, "0 bucket space remaining"},
                {0, false, 0, kAbsent, kAbsent, "0 bucket space remaining"},
                {500, true, 0, kAbsent, kAbsent, "-0 bucket space remaining"},   // level 3.5
                {1000, false, 0, kAbsent, kAbsent, "0 bucket space remaining"},  // drained to 3
                {1750, true, 0, kAbsent, kAbsent, "-0 bucket space remaining"},  // 2.25 -> 3.25
            });
}

TEST(LeakyBucket, ZeroLeakAdmitsCeilingOfCapacity) {
  ManualClock clock;
  LeakyBucket bucket(2.5, 0, clock.clock());
  int admitted = 0;
  for (int i = 0; i < 10; ++i) {
    admitted += bucket.check("k").allowed;
    clock.advance(100000);
  }
  EXPECT_EQ(admitted, 3);
  LeakyBucket empty(0, 1, clock.clock());
  EXPECT_FALSE(empty.check("k").allowed);
  LeakyBucket negative(-1, 1, clock.clock());
  EXPECT_FALSE(negative.check("k").allowed);
}

TEST(LeakyBucket, RoomBelowMinusHalfRoundsToMinusOne) {
  ManualClock clock;
  LeakyBucket bucket(1, 1, clock.clock());
  bucket.check("k");
  clock.advance(250);  // level 0.75 -> 1.75, room -0.75
  EXPECT_EQ(bucket.check("k").message, "-1 bucket space remaining");
}

TEST(LeakyBucket, LongQuietPeriodDrainsToZeroNeverBelow) {
  ManualClock clock;
  LeakyBucket bucket(3, 1, clock.clock());
  for (int i = 0; i < 3; ++i) bucket.check("k");
  clock.advance(1'000'000);
  int admitted = 0;
  for (int i = 0; i < 10; ++i) admitted += bucket.check("k").allowed;
  EXPECT_EQ(admitted, 3);
}

TEST(LeakyBucket, NegativeLeakFillsByItselfAndBackwardsClockDrainsNothing) {
  ManualClock clock;
  LeakyBucket rising(3, -1, clock.clock());
  rising.check("k");
  clock.advance(5000);
  EXPECT_FALSE(rising.check("k").allowed);

  LeakyBucket bucket(1, 1, clock.clock());
  const uint64_t start = clock.now();
  bucket.check("k");
  clock.set(start - 3000);
  EXPECT_FALSE(bucket.check("k").allowed);
  clock.set(start + 500);
  EXPECT_TRUE(bucket.check("k").allowed);  // drained 0.5 since start, level 1.5
  clock.set(start + 900);
  EXPECT_FALSE(bucket.check("k").allowed);  // 1.1: the step back earned nothing
}

TEST(LeakyBucket, ClockBeforeEpochLeavesBucketUnchanged) {
  ManualClock clock;
  LeakyBucket bucket(2, 0, clock.clock());
  bucket.check("k");
  clock.set_before_epoch();
  EXPECT_THROW(bucket.check("k"), FatalError);
  clock.set(clock.now());
  EXPECT_EQ(bucket.check("k").remaining, 0u);
}

}  // namespace
}  // namespace vorn
