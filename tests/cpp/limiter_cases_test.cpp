// Runs every case of tests/limiter_cases.txt through the native limiters with a
// scripted clock; the Redis scripts are held to the same table in tests/servers/.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "algorithms/algorithm.h"
#include "core/canonical.h"
#include "test_clock.h"

namespace vorn {
namespace {

constexpr uint64_t kBaseMs = 1'700'000'000'000;

struct CaseStep {
  uint64_t at;
  std::string key, reason, remaining, message;
  int line;
};

struct LimiterCase {
  std::string algorithm;
  double capacity, refill_rate;
  int line;
  std::vector<CaseStep> steps;
};

double parse_number(const std::string& text) { return std::stod(text); }  // takes inf and nan

std::vector<LimiterCase> read_cases() {
  std::ifstream file(VORN_LIMITER_CASES);
  EXPECT_TRUE(file) << "cannot open " << VORN_LIMITER_CASES;
  std::vector<LimiterCase> cases;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    if (line.rfind("case ", 0) == 0) {
      std::string word, capacity, rate;
      LimiterCase limiter_case;
      fields >> word >> limiter_case.algorithm >> capacity >> rate;
      limiter_case.capacity = parse_number(capacity);
      limiter_case.refill_rate = parse_number(rate);
      limiter_case.line = number;
      cases.push_back(limiter_case);
      continue;
    }
    CaseStep step;
    fields >> step.at >> step.key >> step.reason >> step.remaining >> std::ws;
    std::getline(fields, step.message);
    step.line = number;
    cases.back().steps.push_back(step);
  }
  return cases;
}

TEST(LimiterCases, NativeLimitersGiveTheTabledAnswers) {
  const auto cases = read_cases();
  ASSERT_GT(cases.size(), 10u);
  for (const LimiterCase& limiter_case : cases) {
    testing::ManualClock clock(kBaseMs);
    const Algorithm limiter = Algorithm::from_name(limiter_case.algorithm, limiter_case.capacity,
                                                   limiter_case.refill_rate, clock.clock());
    for (const CaseStep& step : limiter_case.steps) {
      clock.set(kBaseMs + step.at);
      const AlgorithmResult result = limiter.check(step.key);
      const std::string where = "line " + std::to_string(step.line);
      EXPECT_EQ(result.allowed, step.reason == "within_limit") << where;
      EXPECT_EQ(reason_word(result.reason), step.reason) << where;
      EXPECT_EQ(std::to_string(result.remaining.value_or(0)), step.remaining) << where;
      EXPECT_EQ(result.message.text(), step.message) << where;
    }
  }
}

}  // namespace
}  // namespace vorn
