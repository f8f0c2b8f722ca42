#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "algorithms/algorithm.h"
#include "core/engine.h"
#include "test_clock.h"
#include "zone/zone_error.h"
#include "zone/zone_mapping.h"
#include "zone_support.h"

namespace vorn {
namespace {

using testing::ManualClock;
using testing::ScratchZone;

constexpr const char* kAlgorithms[] = {"token_bucket", "sliding_window", "fixed_window",
                                       "leaky_bucket"};

void expect_same(const AlgorithmResult& expected, const AlgorithmResult& actual,
                 const std::string& where) {
  EXPECT_EQ(expected.allowed, actual.allowed) << where;
  EXPECT_EQ(expected.reason, actual.reason) << where;
  EXPECT_EQ(expected.remaining, actual.remaining) << where;
  EXPECT_EQ(expected.reset_after_ms, actual.reset_after_ms) << where;
  EXPECT_EQ(expected.retry_after_ms, actual.retry_after_ms) << where;
  EXPECT_EQ(expected.next_admission_ms, actual.next_admission_ms) << where;
  EXPECT_EQ(expected.full_reset_ms, actual.full_reset_ms) << where;
  EXPECT_EQ(expected.message.text(), actual.message.text()) << where;
}

// The zone store answers every step exactly as the in-process store does,
// through refills, expiries, a clock that steps back and many keys.
TEST(ZoneParity, EveryAlgorithmAnswersAsTheInProcessStore) {
  for (const char* name : kAlgorithms) {
    ScratchZone zone("parity");
    ManualClock clock;
    Algorithm local = Algorithm::from_name(name, 12, 3, clock.clock(), Reclaiming::Off);
    Algorithm shared = Algorithm::in_zone(name, 12, 3, testing::placement(zone.name(), std::nullopt), clock.clock());
    EXPECT_EQ(local.policy().limit, shared.policy().limit) << name;
    EXPECT_EQ(local.policy().window_ms, shared.policy().window_ms) << name;
    const int steps[] = {0, 1, 5, 250, 0, 0, 1000, 30000, 29000, 1500, 61000, 3, 0, 90000};
    int row = 0;
    for (int round = 0; round < 6; ++round) {
      for (int step : steps) {
        clock.advance(step);
        if (row % 17 == 5) clock.go_back(700);
        for (const char* key : {"10.0.0.1", "10.0.0.2", "2001:db8::1", ""}) {
          const std::string where = std::string(name) + " row " + std::to_string(row) + " " + key;
          expect_same(local.check(key), shared.check(key), where);
        }
        ++row;
      }
    }
  }
}

// Threads of one process, each with its own engine on one zone, share the
// mapping and add up exactly (the run ThreadSanitizer watches).
TEST(ZoneThreads, EnginesOnThreadsOfOneProcessAddUpExactly) {
  ScratchZone zone("threads");
  constexpr int kThreads = 4;
  std::atomic<int> admitted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      VornEngine engine(testing::placement(zone.name(), uint64_t{1} << 20), "sliding_window", "active",
                        std::nullopt, 300, 0, 1, std::nullopt, {}, 60000, "");
      for (int i = 0; i < 200; ++i) {
        admitted += engine.check_request_with_identity(std::nullopt, "k", "/", 0).allowed;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(admitted.load(), 300);
}

// Admissions of N processes, two threads each, on shared keys add up to what
// one engine admits, in active and shadow mode; disabled mode keeps no state.
TEST(ZoneAcrossProcesses, TotalsAreExactForEveryAlgorithmAndMode) {
  constexpr int kProcesses = 3;
  constexpr int kThreads = 2;
  constexpr int kChecksEach = 400;
  constexpr int kCapacity = 1000;
  const char* keys[] = {"198.51.100.7", "198.51.100.8"};
  for (const char* mode : {"active", "shadow", "disabled"}) {
    for (const char* name : kAlgorithms) {
      ScratchZone zone("exact");
      const auto make = [&] {
        return std::make_unique<VornEngine>(testing::placement(zone.name(), uint64_t{8} << 20), name,
                                            mode, std::nullopt, kCapacity, 0, 1, std::nullopt,
                                            RateLimitOptions{}, 60000, "");
      };
      const auto parent = make();  // creates the zone before any child attaches it
      int pipes[2];
      ASSERT_EQ(pipe(pipes), 0);
      std::vector<pid_t> children;
      for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
          close(pipes[0]);
          std::atomic<int> passed[2] = {0, 0};
          std::vector<std::thread> threads;
          for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
              const auto engine = make();
              for (int i = 0; i < kChecksEach; ++i) {
                for (int k = 0; k < 2; ++k) {
                  const CheckOutcome outcome =
                      engine->check_request_with_identity(std::nullopt, keys[k], "/", 0);
                  passed[k] += outcome.allowed && !outcome.would_block;
                }
              }
            });
          }
          for (std::thread& thread : threads) thread.join();
          const int counts[2] = {passed[0].load(), passed[1].load()};
          const bool written = write(pipes[1], counts, sizeof counts) == sizeof counts;
          _exit(written ? 0 : 1);
        }
        children.push_back(child);
      }
      close(pipes[1]);
      int totals[2] = {0, 0};
      for (int p = 0; p < kProcesses; ++p) {
        int counts[2];
        ASSERT_EQ(read(pipes[0], counts, sizeof counts), ssize_t(sizeof counts));
        totals[0] += counts[0];
        totals[1] += counts[1];
      }
      close(pipes[0]);
      for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      }
      const bool disabled = std::string(mode) == "disabled";
      const int expected = disabled ? kProcesses * kThreads * kChecksEach : kCapacity;
      EXPECT_EQ(totals[0], expected) << name << " " << mode;
      EXPECT_EQ(totals[1], expected) << name << " " << mode;
      EXPECT_EQ(zone::zone_stats(zone.name()).keys, disabled ? 0u : 2u) << name << " " << mode;
    }
  }
}

}  // namespace
}  // namespace vorn
