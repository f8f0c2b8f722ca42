// Checks counted by outcome: by each engine in every mode, and in a zone's
// meters, where the records of every process add up by name, survive their
// engines, follow a fork, and shrug off a peer's damage.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "core/count_registry.h"
#include "core/engine.h"
#include "zone/zone_meters.h"
#include "zone_support.h"

namespace vorn {
namespace {

using testing::ScratchZone;

std::unique_ptr<VornEngine> engine_of(const char* mode, const ScratchZone* zone = nullptr,
                                      FailurePolicy on_error = FailurePolicy::Local) {
  if (zone == nullptr) {
    return std::make_unique<VornEngine>("fixed_window", mode, std::nullopt, 2, 0, 1, std::nullopt,
                                        RateLimitOptions{}, 60000, "");
  }
  return std::make_unique<VornEngine>(testing::placement(zone->name(), uint64_t{1} << 20, on_error),
                                      "fixed_window", mode, std::nullopt, 2, 0, 1, std::nullopt,
                                      RateLimitOptions{}, 60000, "");
}

// {allowed, refused, shadow refused, disabled, by policy}
using Counts = std::array<uint64_t, kCheckOutcomeKinds>;

void check(const VornEngine& engine, int times, const char* key = "k") {
  for (int i = 0; i < times; ++i) engine.check_request_with_identity(std::nullopt, key, "/", 0);
}

Counts named(const ScratchZone& zone, const std::string& name) {
  for (const zone::NamedCounts& each : zone::zone_meters(zone.name())) {
    if (each.name == name) return each.counts.values;
  }
  return {};
}

TEST(CheckCounts, EachModeCountsItsOutcomes) {
  const struct {
    const char* mode;
    Counts counts;
  } rows[] = {{"active", {2, 3, 0, 0, 0}}, {"shadow", {2, 0, 3, 0, 0}}, {"disabled", {0, 0, 0, 5, 0}}};
  for (bool on_zone : {false, true}) {
    for (const auto& row : rows) {
      ScratchZone zone("mode");
      const auto engine = engine_of(row.mode, on_zone ? &zone : nullptr);
      check(*engine, 5);
      EXPECT_EQ(engine->check_counts().values, row.counts) << row.mode << on_zone;
      if (on_zone && row.counts[3] == 0) {
        EXPECT_EQ(named(zone, "default"), row.counts) << row.mode;
      }
    }
  }
}

TEST(CountRegistry, NamesKeepTheirCountsWhenEnginesGoOrAreRenamed) {
  const auto before = [](const std::string& name) {
    for (const ProcessCounts& each : CountRegistry::process().read()) {
      if (each.name == name && !each.store.zone) return each.counts.values;
    }
    return Counts{};
  };
  {
    const auto engine = engine_of("active");
    engine->name_meter("registry-a");
    check(*engine, 3);
    engine->name_meter("registry-b");
    check(*engine, 1, "other");
  }
  EXPECT_EQ(before("registry-a"), (Counts{2, 1, 0, 0, 0}));
  EXPECT_EQ(before("registry-b"), (Counts{1, 0, 0, 0, 0}));
}

TEST(ZoneMeters, EnginesOfOneNameAddUpAcrossProcessesAndOutliveThem) {
  ScratchZone zone("meters");
  const auto login = engine_of("active", &zone);
  login->name_meter("login");
  const auto other = engine_of("shadow", &zone);  // "default"
  check(*login, 3);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The parent's engine, inherited: its first count claims a record of the child's own.
    check(*login, 2, "c");
    const auto mine = engine_of("active", &zone);
    mine->name_meter("login");
    check(*mine, 1, "d");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  check(*other, 3, "o");
  EXPECT_EQ(named(zone, "login"), (Counts{5, 1, 0, 0, 0}));
  EXPECT_EQ(named(zone, "default"), (Counts{2, 0, 1, 0, 0}));
  // A new engine of the name takes over a dead one's record: nothing is lost.
  const auto again = engine_of("active", &zone);
  again->name_meter("login");
  check(*again, 1, "e");
  EXPECT_EQ(named(zone, "login"), (Counts{6, 1, 0, 0, 0}));
  EXPECT_EQ(zone::zone_meters(zone.name()).size(), 2u);
}

TEST(ZoneMeters, DamagedRecordsAreSkippedAndFullTablesCountInProcess) {
  ScratchZone zone("damage");
  const auto engine = engine_of("active", &zone);
  {
    testing::RawZone raw(zone.name(), zone::kHeaderBytes);
    auto* header = reinterpret_cast<zone::ZoneHeader*>(raw.base);
    for (zone::MeterRecord& record : header->meters) record.name_length = 0xFFFFFFFF;
  }
  engine->name_meter("full");
  check(*engine, 2);
  EXPECT_TRUE(zone::zone_meters(zone.name()).empty());
  EXPECT_EQ(engine->check_counts().values, (Counts{2, 0, 0, 0, 0}));
  {
    testing::RawZone raw(zone.name(), zone::kHeaderBytes);
    auto* header = reinterpret_cast<zone::ZoneHeader*>(raw.base);
    std::memset(header->meters, 0, sizeof header->meters);
    header->meters[0].name_length = 3;
    std::memcpy(header->meters[0].name, "odd", 3);
    header->meters[0].owner = 0x7FFFFFF0;  // no such process
    header->meters[0].counts[0] = 40;
  }
  // Once a record is free, what was counted meanwhile reaches the zone.
  engine->name_meter("odd");
  check(*engine, 1);
  EXPECT_EQ(named(zone, "odd"), (Counts{40 + 2, 1, 0, 0, 0}));
}

TEST(ZoneMeters, AnswersOfThePolicyCountAsSuchAndReachTheZoneLater) {
  ScratchZone zone("policy");
  const auto engine = engine_of("active", &zone, FailurePolicy::Deny);
  check(*engine, 1);
  ASSERT_EQ(truncate(zone::zone_stats(zone.name()).path.c_str(), 40000), 0);
  check(*engine, 2, "other");
  EXPECT_EQ(engine->check_counts().values, (Counts{1, 2, 0, 0, 2}));
  // Once the engine is on a zone again, what it counted meanwhile is there.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  check(*engine, 1, "third");
  // (The first admission stays in the replaced zone.)
  EXPECT_EQ(named(zone, "default"), (Counts{1, 2, 0, 0, 2}));
}

}  // namespace
}  // namespace vorn
