// The waits a limiter reports must hold: a key refused with a wait of w is
// still refused a millisecond before w and admitted at w, and after the full
// reset it has its whole allowance again.
#include <gtest/gtest.h>

#include <string>

#include "algorithms/algorithm.h"
#include "test_clock.h"

namespace vorn {
namespace {

using testing::ManualClock;

struct Case {
  const char* algorithm;
  double capacity;
  double rate;
  uint64_t limit;
  uint64_t window_ms;
};

class LimitFigures : public ::testing::TestWithParam<Case> {};

TEST_P(LimitFigures, ReportedWaitsAreExact) {
  const Case& c = GetParam();
  ManualClock clock;
  const Algorithm limiter = Algorithm::from_name(c.algorithm, c.capacity, c.rate, clock.clock());
  EXPECT_EQ(limiter.policy().limit, c.limit);
  EXPECT_EQ(limiter.policy().window_ms, c.window_ms);

  // Spread the admissions out so the sliding window's entries differ.
  AlgorithmResult last = limiter.check("k");
  EXPECT_EQ(last.next_admission_ms, 0u);
  while (last.allowed) {
    clock.advance(7);
    last = limiter.check("k");
  }
  ASSERT_TRUE(last.next_admission_ms.has_value());
  ASSERT_TRUE(last.full_reset_ms.has_value());
  const uint64_t refused_at = clock.now();
  const uint64_t wait = *last.next_admission_ms;
  const uint64_t reset = *last.full_reset_ms;
  ASSERT_GT(wait, 0u);
  ASSERT_GE(reset, wait);

  clock.set(refused_at + wait - 1);
  EXPECT_FALSE(limiter.check("k").allowed) << "refused a millisecond early";
  clock.set(refused_at + wait);
  EXPECT_TRUE(limiter.check("k").allowed) << "admitted when told";

  // A fresh key drained the same way is whole again once its reset has passed.
  ManualClock other_clock;
  const Algorithm other = Algorithm::from_name(c.algorithm, c.capacity, c.rate,
                                               other_clock.clock());
  AlgorithmResult drained = other.check("k");
  while (drained.allowed) drained = other.check("k");
  other_clock.advance(*drained.full_reset_ms);
  const AlgorithmResult whole = other.check("k");
  EXPECT_TRUE(whole.allowed);
  EXPECT_EQ(whole.remaining, c.limit - 1);
}

INSTANTIATE_TEST_SUITE_P(
    EveryLimiter, LimitFigures,
    ::testing::Values(Case{"token_bucket", 3, 2, 3, 1500}, Case{"leaky_bucket", 3, 2, 3, 1500},
                      Case{"fixed_window", 3, 0, 3, 60000},
                      Case{"sliding_window", 3, 0, 3, 60000}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.algorithm); });

TEST(LimitFiguresWithoutRefill, NoWaitIsPromised) {
  ManualClock clock;
  for (const char* name : {"token_bucket", "leaky_bucket"}) {
    const Algorithm limiter = Algorithm::from_name(name, 1, 0, clock.clock());
    limiter.check("k");
    const AlgorithmResult refused = limiter.check("k");
    EXPECT_FALSE(refused.allowed);
    EXPECT_FALSE(refused.next_admission_ms.has_value()) << name;
    EXPECT_FALSE(limiter.policy().window_ms.has_value()) << name;
  }
}

}  // namespace
}  // namespace vorn
