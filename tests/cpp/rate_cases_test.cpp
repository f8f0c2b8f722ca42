// Runs every case of tests/rate_cases.txt through the engine's limiters on a
// scripted clock; the Redis scripts and the hosts are held to the same table.
// With VORN_PRINT_RATE_CASES set, prints each check's answer in the table's
// form instead of comparing (for writing new cases).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "algorithms/algorithm.h"
#include "core/canonical.h"
#include "test_clock.h"
#include "zone_support.h"

namespace vorn {
namespace {

constexpr uint64_t kBaseMs = 1'700'000'000'000;

struct RateStep {
  uint64_t at = 0;
  std::string op, key;
  double cost = 1.0;
  std::string answer;  // the rest of the row: reason remaining next reset rate
  int line = 0;
};

struct RateCase {
  std::string algorithm;
  std::vector<Rate> rates;
  std::string header;
  std::vector<RateStep> steps;
};

std::vector<RateCase> read_rate_cases() {
  std::ifstream file(VORN_RATE_CASES);
  EXPECT_TRUE(file) << "cannot open " << VORN_RATE_CASES;
  std::vector<RateCase> cases;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    if (line.rfind("case ", 0) == 0) {
      RateCase rate_case;
      std::string word, rate;
      fields >> word >> rate_case.algorithm;
      while (fields >> rate) {
        const size_t slash = rate.find('/');
        rate_case.rates.push_back(
            Rate{std::stod(rate.substr(0, slash)), std::stoull(rate.substr(slash + 1))});
      }
      rate_case.header = line;
      cases.push_back(rate_case);
      continue;
    }
    RateStep step;
    fields >> step.at >> step.op >> step.key;
    if (step.op != "reset") fields >> step.cost;
    std::getline(fields >> std::ws, step.answer);
    step.line = number;
    cases.back().steps.push_back(step);
  }
  return cases;
}

std::string wait_text(const std::optional<uint64_t>& wait) {
  return wait ? std::to_string(*wait) : "never";
}

using MakeLimiter =
    std::function<Algorithm(const std::string&, const std::vector<Rate>&, Clock)>;

// Runs every case through limiters `make` builds; `store` names them in failures.
void run_rate_cases(const std::string& store, const MakeLimiter& make) {
  const auto cases = read_rate_cases();
  ASSERT_GT(cases.size(), 5u);
  const bool printing = std::getenv("VORN_PRINT_RATE_CASES") != nullptr;
  for (const RateCase& rate_case : cases) {
    testing::ManualClock clock(kBaseMs);
    const Algorithm limiter = make(rate_case.algorithm, rate_case.rates, clock.clock());
    if (printing) std::cout << "\n" << rate_case.header << "\n";
    for (const RateStep& step : rate_case.steps) {
      clock.set(kBaseMs + step.at);
      if (step.op == "refund") {
        limiter.refund(step.key, step.cost);
      } else if (step.op == "reset") {
        limiter.reset(step.key);
      }
      if (step.op != "check") {
        if (printing) {
          std::ostringstream cost;
          if (step.op != "reset") cost << " " << step.cost;
          std::cout << step.at << " " << step.op << " " << step.key << cost.str() << "\n";
        }
        continue;
      }
      const AlgorithmResult result = limiter.check(step.key, Cost::of(step.cost));
      const std::string answer = std::string(reason_word(result.reason)) + " " +
                                 std::to_string(result.remaining.value_or(0)) + " " +
                                 wait_text(result.next_admission_ms) + " " +
                                 wait_text(result.full_reset_ms) + " " +
                                 std::to_string(result.rate);
      if (printing) {
        std::ostringstream cost;
        cost << step.cost;
        std::cout << step.at << " check " << step.key << " " << cost.str() << " " << answer
                  << "\n";
        continue;
      }
      EXPECT_EQ(answer, step.answer) << store << ", line " << step.line;
      EXPECT_EQ(result.allowed, step.answer.rfind("within_limit", 0) == 0)
          << store << ", line " << step.line;
    }
  }
}

TEST(RateCases, InProcessLimitersGiveTheTabledAnswers) {
  run_rate_cases("in process", [](const std::string& algorithm, const std::vector<Rate>& rates,
                                  Clock clock) {
    return Algorithm::from_rates(algorithm, rates, clock);
  });
}

// The same cases with the states in a zone, each case in a zone of its own
// that stays named while it runs.
TEST(RateCases, ZoneLimitersGiveTheTabledAnswers) {
  std::unique_ptr<testing::ScratchZone> zone;
  run_rate_cases("in a zone", [&zone](const std::string& algorithm, const std::vector<Rate>& rates,
                                      Clock clock) {
    zone = std::make_unique<testing::ScratchZone>("cases");
    Algorithm limiter = Algorithm::in_zone(
        algorithm, rates, testing::placement(zone->name(), uint64_t{1} << 20), clock);
    EXPECT_FALSE(limiter.zone_connection()->degraded()) << algorithm;
    return limiter;
  });
}

// A bucket's refill (count / window) gives its window back only to within a
// rounding: a limit tells the window as written.
TEST(RateCases, PoliciesTellEachRateAsWritten) {
  for (const char* algorithm : {"token_bucket", "leaky_bucket", "fixed_window", "sliding_window"}) {
    for (size_t rates = 1; rates <= 2; ++rates) {
      std::vector<Rate> limit{{11, 60000}, {7, 3'600'000}};
      limit.resize(rates);
      const std::vector<LimitPolicy> policies = Algorithm::from_rates(algorithm, limit).policies();
      ASSERT_EQ(policies.size(), rates) << algorithm;
      EXPECT_EQ(policies[0].limit, 11u) << algorithm;
      EXPECT_EQ(policies[0].window_ms, std::optional<uint64_t>(60000)) << algorithm;
      if (rates == 2) {
        EXPECT_EQ(policies[1].window_ms, std::optional<uint64_t>(3'600'000));
      }
    }
  }
  EXPECT_EQ(Algorithm::from_rates("token_bucket", {{0, 1000}}).policy().window_ms, std::nullopt);
}

}  // namespace
}  // namespace vorn
