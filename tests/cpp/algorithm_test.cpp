#include "algorithms/algorithm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace vorn {
namespace {

template <typename Limiter>
bool holds(const Algorithm& algorithm) {
  return std::holds_alternative<Limiter>(algorithm.limiter());
}

TEST(AlgorithmSelection, ExactNamesOnlyEverythingElseIsTheTokenBucket) {
  EXPECT_TRUE(holds<SlidingWindow>(Algorithm::from_name("sliding_window", 5, 1)));
  EXPECT_TRUE(holds<FixedWindow>(Algorithm::from_name("fixed_window", 5, 1)));
  EXPECT_TRUE(holds<LeakyBucket>(Algorithm::from_name("leaky_bucket", 5, 1)));
  for (const char* name : {"token_bucket", "Token_Bucket", "tokenbucket", " fixed_window", "",
                           "FIXED_WINDOW", "leaky_bucket ", "foo"}) {
    EXPECT_TRUE(holds<TokenBucket>(Algorithm::from_name(name, 5, 1))) << '"' << name << '"';
  }
  EXPECT_TRUE(holds<TokenBucket>(Algorithm::from_name(std::string("fixed_window\0", 13), 5, 1)));
}

TEST(AlgorithmSelection, WindowLimitersGetTheWindowAndTruncatedCapacity) {
  struct Row {
    double capacity;
    uint64_t max_requests;
  } rows[] = {{2.7, 2}, {-5, 0}, {std::nan(""), 0}, {1e30, UINT64_MAX}, {0.0, 0}};
  for (const Row& row : rows) {
    for (const char* name : {"sliding_window", "fixed_window"}) {
      Algorithm algorithm = Algorithm::from_name(name, row.capacity, 99);
      std::visit(
          [&](const auto& limiter) {
            using L = std::decay_t<decltype(limiter)>;
            if constexpr (std::is_same_v<L, SlidingWindow> || std::is_same_v<L, FixedWindow>) {
              EXPECT_EQ(limiter.window_ms(), WINDOW_MS);
              EXPECT_EQ(limiter.max_requests(), row.max_requests) << name << row.capacity;
            } else {
              ADD_FAILURE() << name;
            }
          },
          algorithm.limiter());
    }
  }
}

TEST(AlgorithmSelection, LeakyBucketTakesTheRefillRateAsLeakRate) {
  const Algorithm leaky_algorithm = Algorithm::from_name("leaky_bucket", 3, 0.25);
  const auto& leaky = std::get<LeakyBucket>(leaky_algorithm.limiter());
  EXPECT_EQ(leaky.capacity(), 3);
  EXPECT_EQ(leaky.leak_rate(), 0.25);
  const Algorithm bucket_algorithm = Algorithm::from_name("x", 7, 2);
  const auto& bucket = std::get<TokenBucket>(bucket_algorithm.limiter());
  EXPECT_EQ(bucket.capacity(), 7);
  EXPECT_EQ(bucket.refill_rate(), 2);
}

TEST(AlgorithmSelection, FractionalCapacityAdmitsTwoPerWindow) {
  for (const char* name : {"sliding_window", "fixed_window"}) {
    Algorithm algorithm = Algorithm::from_name(name, 2.7, 0);
    EXPECT_TRUE(algorithm.check("k").allowed);
    EXPECT_TRUE(algorithm.check("k").allowed);
    AlgorithmResult refused = algorithm.check("k");
    EXPECT_FALSE(refused.allowed) << name;
    EXPECT_EQ(refused.reason, LimitReason::LimitExceeded);
  }
}

}  // namespace
}  // namespace vorn
