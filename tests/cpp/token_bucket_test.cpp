#include "algorithms/token_bucket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "algorithms/fatal_error.h"
#include "limiter_steps.h"

namespace vorn {
namespace {

using testing::kAbsent;
using testing::ManualClock;
using testing::run_steps;

TEST(TokenBucket, WorkedExampleTenTokensOnePerSecond) {
  ManualClock clock;
  TokenBucket bucket(10, 1, clock.clock());
  std::vector<testing::Step> steps;
  for (int i = 9; i >= 0; --i) {
    steps.push_back({0, true, uint64_t(i), kAbsent, 1000, std::to_string(i) + " tokens remaining"});
  }
  steps.push_back({0, false, 0, kAbsent, 1000, "0 tokens remaining"});
  steps.push_back({250, false, 0, kAbsent, 750, "0 tokens remaining"});
  // 0.5 tokens: the message rounds half to even.
  steps.push_back({500, false, 0, kAbsent, 500, "0 tokens remaining"});
  steps.push_back({1750, true, 0, kAbsent, 250, "1 tokens remaining"});  // 0.75 left
  run_steps(clock, bucket, steps);
}

TEST(TokenBucket, MessageRoundsWhileRemainingFloors) {
  ManualClock clock;
  TokenBucket bucket(10, 1, clock.clock());
  const uint64_t start = clock.now();
  for (int i = 0; i < 10; ++i) bucket.check("k");
  clock.set(start + 9750);  // 9.75 tokens, one taken: 8.75
  AlgorithmResult result = bucket.check("k");
  EXPECT_EQ(result.message, "9 tokens remaining");
  EXPECT_EQ(result.remaining, 8u);
  EXPECT_EQ(result.retry_after_ms, 250u);  // ceil((1 - 0.75) / 1 * 1000)
  clock.set(start + 9750 + 9000);          // capped at 10, nothing more
  EXPECT_EQ(bucket.check("k").remaining, 9u);
}

TEST(TokenBucket, RefusalAtFractionalTokensShowsRoundedMessage) {
  ManualClock clock;
  TokenBucket bucket(1, 1, clock.clock());
  bucket.check("k");
  clock.advance(750);
  AlgorithmResult result = bucket.check("k");
  EXPECT_FALSE(result.allowed);
  EXPECT_EQ(result.reason, LimitReason::TokenExhausted);
  EXPECT_EQ(result.message, "1 tokens remaining");
  EXPECT_EQ(result.remaining, 0u);
  EXPECT_EQ(result.retry_after_ms, 250u);
}

TEST(TokenBucket, CapacityBelowOneRefusesForever) {
  ManualClock clock;
  TokenBucket bucket(0.5, 100, clock.clock());
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(bucket.check("k").allowed);
    clock.advance(10000);
  }
}

TEST(TokenBucket, ZeroRefillGivesFloorCapacityForLifeAndNoRetry) {
  ManualClock clock;
  TokenBucket bucket(3.9, 0, clock.clock());
  int admitted = 0;
  for (int i = 0; i < 10; ++i) {
    AlgorithmResult result = bucket.check("k");
    admitted += result.allowed;
    EXPECT_EQ(result.retry_after_ms, kAbsent);
    clock.advance(100000);
  }
  EXPECT_EQ(admitted, 3);
}

TEST(TokenBucket, NegativeRefillDrainsBelowZero) {
  ManualClock clock;
  TokenBucket bucket(1, -1, clock.clock());
  bucket.check("k");  // 0 left
  clock.advance(2000);
  AlgorithmResult result = bucket.check("k");
  EXPECT_FALSE(result.allowed);
  EXPECT_EQ(result.message, "-2 tokens remaining");
  EXPECT_EQ(result.remaining, 0u);
  EXPECT_EQ(result.retry_after_ms, kAbsent);
}

TEST(TokenBucket, InfiniteCapacityAdmitsEverything) {
  ManualClock clock;
  TokenBucket bucket(std::numeric_limits<double>::infinity(), 1, clock.clock());
  AlgorithmResult result = bucket.check("k");
  EXPECT_TRUE(result.allowed);
  EXPECT_EQ(result.remaining, UINT64_MAX);
  EXPECT_EQ(result.message, "inf tokens remaining");
  EXPECT_EQ(result.retry_after_ms, kAbsent);
}

TEST(TokenBucket, NaNParameters) {
  ManualClock clock;
  // NaN capacity: a new bucket holds NaN tokens, which never pass the test.
  TokenBucket nan_capacity(std::nan(""), 1, clock.clock());
  AlgorithmResult result = nan_capacity.check("k");
  EXPECT_FALSE(result.allowed);
  EXPECT_EQ(result.message, "NaN tokens remaining");
  EXPECT_EQ(result.remaining, 0u);
  // NaN refill: the candidate is NaN, so the bucket is filled to capacity.
  TokenBucket nan_refill(2, std::nan(""), clock.clock());
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(nan_refill.check("k").allowed) << i;
}

TEST(TokenBucket, ClockSteppingBackwardsGrantsNothingTwice) {
  ManualClock clock;
  TokenBucket bucket(2, 1, clock.clock());
  const uint64_t start = clock.now();
  bucket.check("k");
  bucket.check("k");  // empty at start
  clock.set(start - 5000);
  EXPECT_FALSE(bucket.check("k").allowed);
  clock.set(start + 500);
  EXPECT_FALSE(bucket.check("k").allowed);  // 0.5 earned since start, not since start-5000
  clock.set(start + 1000);
  EXPECT_TRUE(bucket.check("k").allowed);
}

TEST(TokenBucket, RepeatedRefusalsNeitherLoseNorDoubleCountRefill) {
  ManualClock clock;
  TokenBucket bucket(1, 1, clock.clock());
  bucket.check("k");
  for (int i = 0; i < 7; ++i) {
    clock.advance(125);
    EXPECT_FALSE(bucket.check("k").allowed) << i;
  }
  clock.advance(125);
  EXPECT_TRUE(bucket.check("k").allowed);
}

TEST(TokenBucket, ClockBeforeEpochFailsAndLeavesState) {
  ManualClock clock;
  TokenBucket bucket(5, 1, clock.clock());
  bucket.check("known");
  clock.set_before_epoch();
  try {
    bucket.check("new");
    FAIL();
  } catch (const FatalError& error) {
    EXPECT_STREQ(error.what(), testing::kClockFailure);
  }
  EXPECT_THROW(bucket.check("known"), FatalError);
  EXPECT_EQ(bucket.store().size(), 1u);  // the new key was not inserted
  clock.set(clock.now());
  EXPECT_EQ(bucket.check("known").remaining, 3u);  // lock released, bucket unchanged
}

TEST(TokenBucket, ConcurrentChecksNeverAdmitMoreThanWholeTokens) {
  TokenBucket bucket(1000.5, 0);
  std::atomic<int> admitted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) admitted += bucket.check("shared").allowed;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(admitted.load(), 1000);
}

TEST(TokenBucket, TwoLimitersKeepSeparateState) {
  TokenBucket first(1, 0), second(1, 0);
  EXPECT_TRUE(first.check("k").allowed);
  EXPECT_FALSE(first.check("k").allowed);
  EXPECT_TRUE(second.check("k").allowed);
}

}  // namespace
}  // namespace vorn
