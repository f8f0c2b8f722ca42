#include "core/poisoning_mutex.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace vorn {
namespace {

TEST(PoisoningMutex, AFailedHolderPoisonsEveryLaterCallButReleasesTheLock) {
  PoisoningMutex<int> guarded(1);
  EXPECT_EQ(guarded.with_lock([](int& value) { return ++value; }), 2);
  EXPECT_THROW(guarded.with_lock([](int&) -> int { throw std::runtime_error("fatal"); }),
               std::runtime_error);
  EXPECT_TRUE(guarded.is_poisoned());
  for (int attempt = 0; attempt < 2; ++attempt) {  // a held lock would deadlock here
    try {
      guarded.with_lock([](int& value) { return value; });
      FAIL();
    } catch (const FatalError& error) {
      EXPECT_STREQ(error.what(), "called `Result::unwrap()` on an `Err` value: PoisonError { .. }");
    }
  }
}

TEST(PoisoningMutex, AFailedAllocationPassesThroughWithoutPoisoning) {
  PoisoningMutex<int> guarded(1);
  EXPECT_THROW(guarded.with_lock([](int&) -> int { throw std::bad_array_new_length(); }),
               std::bad_alloc);
  EXPECT_FALSE(guarded.is_poisoned());
  EXPECT_EQ(guarded.with_lock([](int& value) { return value; }), 1);
}

}  // namespace
}  // namespace vorn
