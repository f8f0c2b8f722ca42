// Limits of several rates in a zone, and the runs that log a sliding window's
// costs: one decision under one lock whoever checks or dies, rates of one key
// that never take each other's place, logs that give their blocks back, and
// damage to the new fields repaired as other damage is.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "algorithms/algorithm.h"
#include "core/canonical.h"
#include "test_clock.h"
#include "zone/shard_transaction.h"
#include "zone/zone_mapping.h"
#include "zone_support.h"

namespace vorn {
namespace {

using testing::ManualClock;
using testing::ScratchZone;

constexpr uint64_t kSmallZone = 128 * 1024;  // one shard: 70 sets, 380 log blocks

std::string figures(const AlgorithmResult& result) {
  const auto wait = [](const std::optional<uint64_t>& ms) {
    return ms ? std::to_string(*ms) : std::string("never");
  };
  return std::string(reason_word(result.reason)) + " " +
         std::to_string(result.remaining.value_or(0)) + " " + wait(result.next_admission_ms) + " " +
         wait(result.full_reset_ms) + " " + std::to_string(result.rate) + " " +
         std::string(result.message.text());
}

Algorithm in_zone(const ScratchZone& zone, const char* algorithm, const std::vector<Rate>& rates,
                  const ManualClock& clock, uint64_t size = kSmallZone) {
  return Algorithm::in_zone(algorithm, rates, testing::placement(zone.name(), size), clock.clock());
}

// Processes racing on one key of two rates admit exactly what the tighter
// allows, and the other counts exactly those: refusals count nowhere.
TEST(ZoneAcrossProcesses, ARequestAnyRateRefusesIsCountedByNoRate) {
  ScratchZone zone("atomic");
  ManualClock clock;
  const std::vector<Rate> limit{{30, 1000}, {50, 60000}};
  const Algorithm parent = in_zone(zone, "fixed_window", limit, clock);
  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < 3; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const Algorithm mine = in_zone(zone, "fixed_window", limit, clock);
      int admitted = 0;
      for (int i = 0; i < 40; ++i) admitted += mine.check("k").allowed;
      _exit(write(pipes[1], &admitted, sizeof admitted) == sizeof admitted ? 0 : 1);
    }
    children.push_back(child);
  }
  int total = 0;
  for (pid_t child : children) {
    int admitted = 0, status = 0;
    ASSERT_EQ(read(pipes[0], &admitted, sizeof admitted), ssize_t(sizeof admitted));
    total += admitted;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  close(pipes[0]);
  close(pipes[1]);
  EXPECT_EQ(total, 30);
  clock.advance(1000);  // the first rate's window starts over; the second's holds 30
  int more = 0;
  while (more < 50 && parent.check("k").allowed) ++more;
  EXPECT_EQ(more, 20);
}

// A key's rates that land in one full set never take each other's way, even
// a sibling just made (and so as good as fresh), nor each other's log blocks:
// every key answers as in process while the zone evicts others all along,
// and checks that write the most units (four new logs in full sets, each
// evicting a log from the empty pool) are never taken for damage.
TEST(ZoneRates, ARateNeverTakesTheWayOrTheBlocksOfAnotherRateOfItsKey) {
  struct Setup {
    const char* algorithm;
    std::vector<Rate> limit;
    uint64_t step_ms;
    int checks;
  };
  for (const Setup& setup :
       {Setup{"token_bucket", {{5, 1000}, {7, 2000}, {9, 4000}, {11, 8000}}, 0, 2},
        Setup{"sliding_window", {{12, 1000}, {13, 2000}, {14, 4000}, {15, 8000}}, 1, 9}}) {
    ScratchZone zone("siblings");
    ManualClock clock;
    // Sets full of states without logs first: new logs then take their ways
    // and find the pool empty.
    const Algorithm filler = Algorithm::in_zone(
        "token_bucket", 1, 0, testing::placement(zone.name(), kSmallZone), clock.clock());
    for (int n = 0; n < 1500; ++n) filler.check("filler-" + std::to_string(n));
    const Algorithm shared = in_zone(zone, setup.algorithm, setup.limit, clock);
    const Algorithm local =
        Algorithm::from_rates(setup.algorithm, setup.limit, clock.clock(), Reclaiming::Off);
    for (int n = 0; n < 1500; ++n) {
      const std::string key = "client-" + std::to_string(n);
      for (int again = 0; again < setup.checks; ++again, clock.advance(setup.step_ms)) {
        ASSERT_EQ(figures(shared.check(key)), figures(local.check(key))) << setup.algorithm << key;
      }
    }
    const zone::ZoneStats stats = zone::zone_stats(zone.name());
    EXPECT_GT(stats.evictions, 0u) << setup.algorithm;
    EXPECT_EQ(stats.repairs, 0u) << setup.algorithm;
  }
}

// Four logs that each need a block from an empty pool at once: every rate
// writes its slot, its old tail, and the block and slot of the log evicted
// for it, 17 units in one check, all undone or all kept together.
TEST(ZoneRates, ACheckOfFourRatesThatEvictsForEachFitsItsJournal) {
  ScratchZone zone("heaviest");
  ManualClock clock;
  const std::vector<Rate> limit{{10, 3600000}, {11, 3600000}, {12, 3600000}, {13, 3600000}};
  const Algorithm shared = in_zone(zone, "sliding_window", limit, clock);
  const Algorithm local = Algorithm::from_rates("sliding_window", limit, clock.clock());
  for (int i = 0; i < 7; ++i, clock.advance(1))
    shared.check("k"), local.check("k");  // a block each
  // One-block logs of other keys take the rest of the pool.
  const Algorithm filler = in_zone(zone, "sliding_window", {{1, 3600000}}, clock);
  const uint32_t blocks = zone::geometry_for(kSmallZone).blocks_per_shard;
  for (uint32_t n = 0; n + 4 < blocks; ++n) filler.check("filler-" + std::to_string(n));
  EXPECT_EQ(zone::zone_stats(zone.name()).evictions, 0u);
  EXPECT_EQ(figures(shared.check("k")), figures(local.check("k")));
  EXPECT_EQ(zone::zone_stats(zone.name()).evictions, 4u);
  EXPECT_EQ(zone::zone_stats(zone.name()).repairs, 0u);
  EXPECT_EQ(figures(shared.check("k", Cost::of(0))), figures(local.check("k", Cost::of(0))));
}

// A writer killed inside a check of four rates, logs spanning blocks, a cost
// of three: its successor undoes all of it, and no rate counted it.
TEST(ZoneRecovery, AWriterKilledInsideADecisionOfSeveralRatesCountsOnNone) {
  ScratchZone zone("killed");
  ManualClock clock;
  const std::vector<Rate> limit{{40, 1000}, {45, 60000}, {50, 600000}, {60, 3600000}};
  const Algorithm shared = in_zone(zone, "sliding_window", limit, clock, uint64_t{1} << 20);
  const Algorithm local = Algorithm::from_rates("sliding_window", limit, clock.clock());
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(figures(shared.check("victim", Cost::of(2))),
              figures(local.check("victim", Cost::of(2))));
    clock.advance(7);
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    zone::inside_critical_section_hook = [] { raise(SIGSTOP); };
    shared.check("victim", Cost::of(3));
    _exit(0);  // never reached: killed while stopped
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
  ASSERT_TRUE(WIFSTOPPED(status));
  kill(child, SIGKILL);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(figures(shared.check("victim", Cost::of(3))),
              figures(local.check("victim", Cost::of(3))))
        << i;
    clock.advance(100);
  }
  EXPECT_EQ(zone::zone_stats(zone.name()).recoveries, 1u);
  EXPECT_EQ(zone::zone_stats(zone.name()).repairs, 0u);
}

// Costs, requests of one millisecond, partial expiry and refunds that cut
// across blocks: the runs answer as the in-process log of repeated times.
TEST(ZoneLogs, RunsAnswerAsRepeatedTimesAcrossBlocksRefundsAndResets) {
  for (const std::vector<Rate>& limit :
       {std::vector<Rate>{{100, 10000}}, std::vector<Rate>{{100, 10000}, {130, 60000}}}) {
    ScratchZone zone("runs");
    ManualClock clock;
    const Algorithm shared = in_zone(zone, "sliding_window", limit, clock);
    const Algorithm local = Algorithm::from_rates("sliding_window", limit, clock.clock());
    int row = 0;
    const auto both = [&](uint64_t cost) {
      EXPECT_EQ(figures(shared.check("k", Cost::of(double(cost)))),
                figures(local.check("k", Cost::of(double(cost)))))
          << limit.size() << " rates, row " << row++;
    };
    for (int i = 0; i < 16; ++i, clock.advance(3)) both(3);  // 16 runs over 3 blocks
    for (int i = 0; i < 4; ++i) both(2);                     // one run of 8
    both(0);
    shared.refund("k", 19);
    local.refund("k", 19);  // the newest run, four more and part of one go, across a block
    for (int i = 0; i < 30; ++i, clock.advance(1)) both(i % 4);
    clock.advance(10000 - 40);  // the oldest runs leave one request at a time
    for (int i = 0; i < 30; ++i, clock.advance(1)) both(i % 3 == 0 ? 5 : 1);
    shared.refund("k", 7);
    local.refund("k", 7);
    both(0);
    shared.refund("k", 1000);
    local.refund("k", 1000);
    both(101);  // more than the limit: never
    both(1);
    shared.reset("k");
    local.reset("k");
    both(7);
    EXPECT_EQ(zone::zone_stats(zone.name()).repairs, 0u);
  }
}

// A log that is reset or refunded gives its blocks back: in one shard of 380
// blocks, two logs of 215 fit one after the other only then.
TEST(ZoneLogs, ResetsAndRefundsGiveBlocksBackToThePool) {
  ScratchZone zone("pool");
  ManualClock clock;
  const Algorithm window = in_zone(zone, "sliding_window", {{1500, 600000}}, clock);
  const auto fill = [&](const std::string& key) {
    for (int i = 0; i < 1500; ++i, clock.advance(1)) ASSERT_TRUE(window.check(key).allowed) << key;
  };
  fill("a");
  window.reset("a");
  fill("b");
  window.refund("b", 1350);  // 193 blocks back in one check
  fill("c");
  EXPECT_EQ(zone::zone_stats(zone.name()).evictions, 0u);
  fill("d");  // 22 + 215 + 215 blocks: more than the pool
  EXPECT_GT(zone::zone_stats(zone.name()).evictions, 0u);
  EXPECT_EQ(zone::zone_stats(zone.name()).repairs, 0u);
}

// Runs that cannot be (no runs for a size, more runs than requests, more than
// the window logs, a run of nothing): the shard is reset, counted as a
// repair, and the check goes on as for a new client.
TEST(ZoneLogs, DamagedRunsResetTheirShardAndTheCheckGoesOn) {
  const std::vector<std::function<void(zone::LogState&, zone::Block&)>> damages = {
      [](zone::LogState& log, zone::Block&) { log.runs = 0; },
      [](zone::LogState& log, zone::Block&) { log.runs = 11; },
      [](zone::LogState& log, zone::Block&) { log.size = 1000; },
      [](zone::LogState& log, zone::Block&) { log.head_pos = zone::kBlockRuns; },
      [](zone::LogState&, zone::Block& head) { head.runs[0] = zone::run_time(head.runs[0]); },
      [](zone::LogState& log, zone::Block&) { log.front_taken = 1; },
  };
  for (size_t d = 0; d < damages.size(); ++d) {
    ScratchZone zone("damage");
    ManualClock clock;
    const Algorithm window = in_zone(zone, "sliding_window", {{10, 60000}}, clock);
    for (int i = 0; i < 10; ++i, clock.advance(1)) window.check("victim");
    testing::RawZone raw(zone.name(), kSmallZone);
    zone::Slot* slot = raw.slot_of(1);
    ASSERT_NE(slot, nullptr);
    zone::LogState log;
    std::memcpy(&log, slot->state, sizeof log);
    ASSERT_EQ(log.runs, 10u);
    damages[d](log, *raw.block(log.head));
    std::memcpy(slot->state, &log, sizeof log);
    const AlgorithmResult result = window.check("victim");  // refused, were it not damaged
    EXPECT_TRUE(result.allowed) << d;
    EXPECT_EQ(result.remaining, 9u) << d;
    EXPECT_EQ(zone::zone_stats(zone.name()).repairs, 1u) << d;
  }
}

// A rate of several is its own configuration: never a one-rate engine's of
// the same count and window, nor another limit's that shares that rate; the
// same limit in two engines is one. A table entry that no longer reads as a
// rate of its limit is not taken for one.
TEST(ZoneRates, OnlyTheSameLimitSharesStatesAndEveryEngineSeesRefundsAndResets) {
  ScratchZone zone("marks");
  ManualClock clock;
  const Algorithm alone = in_zone(zone, "fixed_window", {{10, 60000}}, clock);
  const Algorithm first = in_zone(zone, "fixed_window", {{10, 60000}, {20, 3600000}}, clock);
  const Algorithm twin = in_zone(zone, "fixed_window", {{10, 60000}, {20, 3600000}}, clock);
  const Algorithm other = in_zone(zone, "fixed_window", {{10, 60000}, {30, 3600000}}, clock);
  for (int i = 0; i < 5; ++i) alone.check("k");
  for (int i = 0; i < 3; ++i) first.check("k");
  EXPECT_EQ(twin.check("k").remaining, 6u);
  EXPECT_EQ(other.check("k").remaining, 9u);
  EXPECT_EQ(zone::zone_stats(zone.name()).configs, 5u);

  const uint64_t keys = zone::zone_stats(zone.name()).keys;
  twin.refund("ghost", 3);  // no state, and none made
  EXPECT_EQ(zone::zone_stats(zone.name()).keys, keys);
  first.refund("k", 2);
  EXPECT_EQ(twin.check("k").remaining, 7u);
  twin.reset("k");
  EXPECT_EQ(zone::zone_stats(zone.name()).keys, keys - 2);
  EXPECT_EQ(first.check("k").remaining, 9u);
  EXPECT_EQ(alone.check("k").remaining, 4u);  // another configuration: untouched

  testing::RawZone raw(zone.name(), kSmallZone);
  auto* header = reinterpret_cast<zone::ZoneHeader*>(raw.base);
  header->configs[1].config.place = 9;  // `first`'s first rate
  const Algorithm late = in_zone(zone, "fixed_window", {{10, 60000}, {20, 3600000}}, clock);
  EXPECT_EQ(late.check("k").remaining, 9u);
  EXPECT_EQ(zone::zone_stats(zone.name()).configs, 6u);
}

// A zone that cannot be used: "local" answers, refunds and resets from an
// in-process limit of the same rates; "allow" and "deny" take them as nothing.
TEST(ZoneRates, WhileDegradedTheLocalEngineOfTheSameRatesTakesRefundsAndResets) {
  char directory[] = "/tmp/vorn-rates-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string blocked = zone::zone_path(directory, "blocked");
  ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0);
  const std::vector<Rate> limit{{7, 3000}, {20, 70000}};
  for (FailurePolicy policy : {FailurePolicy::Local, FailurePolicy::Allow, FailurePolicy::Deny}) {
    ManualClock clock;
    const Algorithm shared =
        Algorithm::in_zone("token_bucket", limit,
                           ZonePlacement{"blocked", kSmallZone, directory, policy}, clock.clock());
    ASSERT_TRUE(shared.zone_connection()->degraded());
    const Algorithm local = Algorithm::from_rates("token_bucket", limit, clock.clock());
    for (int step = 0; step < 40; ++step) {
      clock.advance(step % 5 == 0 ? 900 : 35);
      if (step % 9 == 4) {
        shared.refund("k", 2.5);
        local.refund("k", 2.5);
      }
      if (step == 25) {
        shared.reset("k");
        local.reset("k");
      }
      const AlgorithmResult answer = shared.check("k", Cost::of(1.5));
      if (policy == FailurePolicy::Local) {
        EXPECT_EQ(figures(answer), figures(local.check("k", Cost::of(1.5)))) << step;
      } else {
        EXPECT_EQ(answer.allowed, policy == FailurePolicy::Allow) << step;
      }
    }
  }
  rmdir(blocked.c_str());
  rmdir(directory);
}

}  // namespace
}  // namespace vorn
