// A worker killed inside a shard's critical section, after it has written part
// of a check, harms nobody: the next holder rolls its writes back and goes on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "core/engine.h"
#include "zone/shard_transaction.h"
#include "zone/zone_mapping.h"
#include "zone_support.h"

namespace vorn {
namespace {

using testing::ScratchZone;

VornEngine zone_engine(const std::string& zone, const char* algorithm, double capacity) {
  return VornEngine(ZonePlacement{zone, uint64_t{1} << 20}, algorithm, "active", std::nullopt,
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

TEST(ZoneRecovery, AHolderThatIsOnlyStoppedMakesOthersFailAfterTheTimeoutNotHang) {
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
  zone::set_lock_timeout(std::chrono::milliseconds(50));
  EXPECT_THROW(admitted(engine, "k"), ZoneError);
  zone::set_lock_timeout(saved);
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  // The engine was not poisoned by the zone's failure.
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(admitted(engine, "k"));
  EXPECT_FALSE(admitted(engine, "k"));
}

}  // namespace
}  // namespace vorn
