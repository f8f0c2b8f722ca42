// A worker killed inside a shard's critical section, after it has written part
// of a check, harms nobody: the next holder rolls its writes back and goes on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/engine.h"
#include "zone/shard_transaction.h"
#include "zone/zone_mapping.h"
#include "zone_support.h"

namespace vorn {
namespace {

using testing::ScratchZone;

VornEngine zone_engine(const std::string& zone, const char* algorithm, double capacity) {
  return VornEngine(testing::placement(zone, uint64_t{1} << 20), algorithm, "active", std::nullopt,
                    capacity, 0, 1, std::nullopt, {}, 60000, "");
}

bool admitted(const VornEngine& engine, const char* key) {
  return engine.check_request_with_identity(std::nullopt, key, "/", 0).allowed;
}

TEST(ZoneRecovery, AHolderKilledMidCheckIsRolledBackAndNobodyWaits) {
  constexpr int kCapacity = 20;
  for (const char* algorithm : {"token_bucket", "sliding_window", "fixed_window", "leaky_bucket"}) {
    ScratchZone zone("killed");
    VornEngine engine = zone_engine(zone.name(), algorithm, kCapacity);
    // Some history first, so that the killed check changes a log with blocks.
    for (int i = 0; i < 9; ++i) ASSERT_TRUE(admitted(engine, "victim")) << algorithm;

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      zone::inside_critical_section_hook = [] { raise(SIGSTOP); };
      admitted(engine, "victim");
      _exit(0);  // never reached: killed while stopped
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    ASSERT_TRUE(WIFSTOPPED(status)) << algorithm;
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, &status, 0), child);

    const auto started = std::chrono::steady_clock::now();
    int more = 0;
    while (more < 2 * kCapacity && admitted(engine, "victim")) ++more;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1)) << algorithm;
    // The killed check never completed, so it never counted.
    EXPECT_EQ(9 + more, kCapacity) << algorithm;
    EXPECT_EQ(zone::zone_stats(zone.name()).recoveries, 1u) << algorithm;
    EXPECT_TRUE(admitted(engine, "bystander")) << algorithm;
  }
}

// Waits up to 3 s, checking now and then, for the engine to be back on its zone.
bool back_on_zone(const VornEngine& engine) {
  for (int i = 0; i < 300 && engine.zone_connection()->degraded(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    admitted(engine, "probe");
  }
  return !engine.zone_connection()->degraded();
}

// Only the stuck shard's clients are answered by the policy, and only the
// first of its checks waits; the rest of the zone stays in use.
TEST(ZoneRecovery, AStoppedHolderMakesItsShardAnswerByPolicyAfterOneTimeoutNotHang) {
  ScratchZone zone("stopped");
  VornEngine engine = zone_engine(zone.name(), "token_bucket", 5);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    zone::inside_critical_section_hook = [] { raise(SIGSTOP); };
    admitted(engine, "k");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
  const auto saved = zone::lock_timeout();
  zone::set_lock_timeout(std::chrono::milliseconds(300));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(admitted(engine, "k"));  // the in-process engine's 5, ...
  EXPECT_FALSE(admitted(engine, "k"));                              // ... and then its refusal
  EXPECT_TRUE(admitted(engine, "elsewhere"));  // another shard's client, from the zone
  zone::set_lock_timeout(saved);
  EXPECT_FALSE(engine.zone_connection()->degraded());
  const std::vector<std::string> notices = engine.zone_connection()->take_notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("its clients are answered from the in-process engine while it is held"),
            std::string::npos)
      << notices[0];
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  // The holder is gone: the shard is the zone's again, its half-made check undone.
  EXPECT_EQ(engine.check_request_with_identity(std::nullopt, "k", "/", 0).figures.remaining, 4u);
}

// Truncated under the engines, then removed: nobody dies, answers follow the
// policy, and the engines are back together on one new zone.
TEST(ZoneRecovery, ATruncatedZoneIsAnsweredByPolicyAndReplaced) {
  for (FailurePolicy policy : {FailurePolicy::Local, FailurePolicy::Allow, FailurePolicy::Deny}) {
    ScratchZone zone("truncated");
    const auto make = [&] {
      return VornEngine(testing::placement(zone.name(), uint64_t{1} << 20, policy),
                        "fixed_window", "active", std::nullopt, 4, 0, 1, std::nullopt, {}, 60000,
                        "");
    };
    VornEngine first = make();
    VornEngine second = make();
    ASSERT_TRUE(admitted(first, "k"));
    ASSERT_EQ(truncate(zone::zone_stats(zone.name()).path.c_str(), 40000), 0);
    for (const char* key : {"k", "other", "third"}) {
      const bool answer = admitted(first, key);
      if (policy != FailurePolicy::Local) {
        EXPECT_EQ(answer, policy == FailurePolicy::Allow);
      }
    }
    EXPECT_TRUE(first.zone_connection()->degraded());
    // Past a probe interval, each engine has found out and moved on.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    admitted(second, "probe");
    EXPECT_TRUE(back_on_zone(first));
    EXPECT_TRUE(back_on_zone(second));
    EXPECT_EQ(zone::zone_stats(zone.name()).replacements, 1u);
    // One new zone: the two engines share its counts again.
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(admitted(first, "shared"));
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(admitted(second, "shared"));
    EXPECT_FALSE(admitted(first, "shared"));
  }
}

}  // namespace
}  // namespace vorn
