#include "algorithms/numeric.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "algorithms/clock.h"
#include "algorithms/fatal_error.h"

namespace vorn {
namespace {

TEST(FormatCount, RoundsHalfToEvenAndKeepsNegativeZero) {
  struct Row {
    double value;
    const char* text;
  } rows[] = {
      {2.5, "2"},
      {3.5, "4"},
      {8.6, "9"},
      {0.7, "1"},
      {-0.3, "-0"},
      {-0.5, "-0"},
      {-0.7, "-1"},
      {-2.0, "-2"},
      {0.0, "0"},
      {1e20, "100000000000000000000"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "NaN"},
      {-std::nan(""), "NaN"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(format_count(rows[i].value), rows[i].text) << "row " << i;
  }
}

TEST(ToU64Saturating, TruncatesAndSaturates) {
  EXPECT_EQ(to_u64_saturating(2.7), 2u);
  EXPECT_EQ(to_u64_saturating(-5.0), 0u);
  EXPECT_EQ(to_u64_saturating(-0.0), 0u);
  EXPECT_EQ(to_u64_saturating(std::nan("")), 0u);
  EXPECT_EQ(to_u64_saturating(1e30), UINT64_MAX);
  EXPECT_EQ(to_u64_saturating(18446744073709551616.0), UINT64_MAX);
  EXPECT_EQ(to_u64_saturating(std::numeric_limits<double>::infinity()), UINT64_MAX);
  EXPECT_EQ(to_u64_saturating(9007199254740993.0), 9007199254740992u);
}

TEST(ExactMinMax, AnswersAsTheLibraryDoes) {
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  // Read through volatile, so the library's answers come from its code at run
  // time, not from the compiler's own folding.
  volatile double values[] = {0.0, 1.0, -1.0, 2.5, inf, -inf, nan};
  for (const double a : values) {
    for (const double b : values) {
      const double min = fmin_exact(a, b), max = fmax_exact(a, b);
      EXPECT_EQ(std::isnan(min), std::isnan(std::fmin(a, b))) << a << " " << b;
      EXPECT_EQ(std::isnan(max), std::isnan(std::fmax(a, b))) << a << " " << b;
      if (std::isnan(min) || std::isnan(max)) continue;
      EXPECT_EQ(min, std::fmin(a, b)) << a << " " << b;
      EXPECT_EQ(max, std::fmax(a, b)) << a << " " << b;
    }
  }
  // Zeros of both signs tie, and the second operand is the answer, as in the
  // C library's x86-64 code (the compiler's own folding of std::fmin is not
  // consistent about it, so the rule is stated here rather than compared).
  EXPECT_TRUE(std::signbit(fmin_exact(0.0, -0.0)));
  EXPECT_FALSE(std::signbit(fmin_exact(-0.0, 0.0)));
  EXPECT_TRUE(std::signbit(fmax_exact(0.0, -0.0)));
  EXPECT_FALSE(std::signbit(fmax_exact(-0.0, 0.0)));
}

TEST(SaturatingArithmetic, NeverWraps) {
  EXPECT_EQ(saturating_sub(3, 5), 0u);
  EXPECT_EQ(saturating_sub(5, 3), 2u);
  EXPECT_EQ(saturating_add(UINT64_MAX - 1, 5), UINT64_MAX);
}

TEST(ClockError, RendersDistanceBeforeEpoch) {
  EXPECT_EQ(format_duration(1, 500000000), "1.5s");
  EXPECT_EQ(format_duration(2, 0), "2s");
  EXPECT_EQ(format_duration(0, 250000000), "250ms");
  EXPECT_EQ(format_duration(0, 1500), "1.5\xC2\xB5s");
  EXPECT_EQ(format_duration(0, 7), "7ns");
  try {
    throw_clock_before_epoch(3, 1);
    FAIL();
  } catch (const FatalError& error) {
    EXPECT_STREQ(error.what(),
                 "called `Result::unwrap()` on an `Err` value: SystemTimeError(3.000000001s)");
  }
}

TEST(NowMs, ReadsTheWallClock) {
  const uint64_t now = now_ms();
  EXPECT_GT(now, 1'600'000'000'000u);  // after 2020
  EXPECT_LT(now, 4'000'000'000'000u);
}

}  // namespace
}  // namespace vorn
