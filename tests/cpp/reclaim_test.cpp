// Reclaiming drops a key's state only when a fresh state would answer exactly
// as the kept one: these tests drive a scripted clock to the boundary instants
// and compare a reclaiming limiter with one that keeps every key.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "algorithms/algorithm.h"
#include "test_clock.h"

namespace vorn {
namespace {

using testing::ManualClock;

size_t keys_held(const Algorithm& algorithm) { return algorithm.keys_held(); }

// Inserts fresh keys until every shard has needed room, and so swept, at least once.
void churn(const Algorithm& algorithm, int count, const std::string& prefix = "churn-") {
  for (int i = 0; i < count; ++i) algorithm.check(prefix + std::to_string(i));
}

void expect_same(const AlgorithmResult& kept, const AlgorithmResult& fresh, const std::string& at) {
  EXPECT_EQ(kept.allowed, fresh.allowed) << at;
  EXPECT_EQ(kept.reason, fresh.reason) << at;
  EXPECT_EQ(kept.remaining, fresh.remaining) << at;
  EXPECT_EQ(kept.retry_after_ms, fresh.retry_after_ms) << at;
  EXPECT_EQ(kept.reset_after_ms, fresh.reset_after_ms) << at;
  EXPECT_EQ(kept.message, fresh.message) << at;
}

struct Case {
  const char* algorithm;
  double capacity, rate;
  uint64_t qualifies_after;  // ms after the key's burst at which it may be dropped
};

// For each limiter: a key is kept one millisecond before its state becomes
// indistinguishable from a fresh one, and dropped at that very instant.
TEST(Reclaiming, DropsExactlyAtTheBoundary) {
  const Case cases[] = {
      {"token_bucket", 4, 2, 2000},             // 4 tokens at 2/s refill in exactly 2000 ms
      {"leaky_bucket", 4, 2, 2000},             // level 4 drains to 0 in exactly 2000 ms
      {"fixed_window", 4, 0, WINDOW_MS},        // the window runs out at its end
      {"sliding_window", 4, 0, WINDOW_MS + 1},  // an entry at t counts until t + window
  };
  for (const Case& c : cases) {
    ManualClock clock;
    Algorithm algorithm = Algorithm::from_name(c.algorithm, c.capacity, c.rate, clock.clock());
    const uint64_t start = clock.now();
    for (int i = 0; i < 4; ++i) algorithm.check("victim");

    clock.set(start + c.qualifies_after - 1);
    churn(algorithm, 4000, "early-");
    EXPECT_EQ(keys_held(algorithm), 4001u) << c.algorithm << ": dropped too early";

    clock.set(start + c.qualifies_after);
    churn(algorithm, 8000, "late-");
    // Only the victim qualifies: the early keys were checked a millisecond ago.
    EXPECT_EQ(keys_held(algorithm), 4000u + 8000u) << c.algorithm << ": not dropped";
    AlgorithmResult result = algorithm.check("victim");
    EXPECT_TRUE(result.allowed) << c.algorithm;
  }
}

// One limiter that reclaims and one that keeps every key, fed the same keys at
// the same instants, give identical answers to every check.
TEST(Reclaiming, DifferentialAgainstAStoreThatKeepsEverything) {
  const Case cases[] = {
      {"token_bucket", 3, 5, 0},      {"token_bucket", 2.5, 0.5, 0}, {"leaky_bucket", 3, 5, 0},
      {"leaky_bucket", 1.5, 0.25, 0}, {"fixed_window", 3, 0, 0},     {"sliding_window", 3, 0, 0},
      {"token_bucket", 10, 0, 0},     {"leaky_bucket", 2, 0, 0},
  };
  for (const Case& c : cases) {
    ManualClock clock;
    Algorithm reclaiming =
        Algorithm::from_name(c.algorithm, c.capacity, c.rate, clock.clock(), Reclaiming::On);
    Algorithm keeping =
        Algorithm::from_name(c.algorithm, c.capacity, c.rate, clock.clock(), Reclaiming::Off);
    std::mt19937_64 random(42);
    // Time steps of 0 to 2 seconds (with windows of one minute, a few long
    // jumps too) and keys from a pool small enough to repeat often.
    for (int i = 0; i < 60000; ++i) {
      const uint64_t step = random() % 8 == 0 ? random() % 90000 : random() % 2000;
      clock.advance(step / 50);
      const std::string key = "k" + std::to_string(random() % 30000);
      expect_same(keeping.check(key), reclaiming.check(key),
                  std::string(c.algorithm) + " check " + std::to_string(i));
      if (::testing::Test::HasFailure()) return;
    }
    const bool can_reclaim =
        c.rate > 0 || std::string(c.algorithm).find("window") != std::string::npos;
    if (can_reclaim) {
      EXPECT_LT(keys_held(reclaiming), keys_held(keeping)) << c.algorithm;
    }
  }
}

TEST(Reclaiming, NothingQualifiesWithoutRefillOrWithNegativeRates) {
  for (const Case& c : {Case{"token_bucket", 5, 0, 0}, Case{"token_bucket", 5, -1, 0},
                        Case{"leaky_bucket", 5, -1, 0}}) {
    ManualClock clock;
    Algorithm algorithm = Algorithm::from_name(c.algorithm, c.capacity, c.rate, clock.clock());
    churn(algorithm, 2000);
    clock.advance(10'000'000);
    churn(algorithm, 2000, "later-");
    EXPECT_EQ(keys_held(algorithm), 4000u) << c.algorithm << " " << c.rate;
  }
}

// Clients that come back every round, each back to a fresh state by then,
// outgrow the first tables: the store grows to hold them all instead of
// dropping and inserting them again on every round. With few checks per
// millisecond the tables start small, far smaller than the round.
TEST(Reclaiming, ReturningClientsStayHeld) {
  for (const size_t checks_per_ms : {16u, 512u}) {
    ManualClock clock;
    Algorithm algorithm = Algorithm::from_name("token_bucket", 4, 1000, clock.clock());
    std::vector<std::string> keys;
    for (int i = 0; i < 4096; ++i) keys.push_back("r" + std::to_string(i));
    for (int round = 0; round < 16; ++round) {
      for (size_t i = 0; i < keys.size(); ++i) {
        if (i % checks_per_ms == 0) clock.advance(1);  // full again 1 ms after a check
        algorithm.check(keys[i]);
      }
      if (round >= 12) {
        EXPECT_EQ(keys_held(algorithm), keys.size()) << checks_per_ms << " round " << round;
      }
    }
    // A wave of new clients still reclaims them once they stay away.
    clock.advance(10);
    churn(algorithm, 40000);
    EXPECT_EQ(keys_held(algorithm), 40000u) << checks_per_ms;
  }
}

TEST(Reclaiming, ManyOneOffClientsLeaveOnlyTheRecentOnes) {
  ManualClock clock;
  Algorithm algorithm = Algorithm::from_name("token_bucket", 10, 10, clock.clock());
  // 100 new clients per simulated millisecond; each is full again 100 ms after
  // its visit, so about 10,000 are unreclaimable at any time.
  for (int i = 0; i < 300000; ++i) {
    if (i % 100 == 0) clock.advance(1);
    algorithm.check("c" + std::to_string(i));
  }
  EXPECT_LT(keys_held(algorithm), 40000u);
}

}  // namespace
}  // namespace vorn
