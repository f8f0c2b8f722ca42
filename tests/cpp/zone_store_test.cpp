// The zone store's bounds: a full set reclaims before it evicts, logs give
// their blocks back, configurations never meet, and a region is validated
// before it is trusted (over a private buffer as well as a mapping).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "algorithms/algorithm.h"
#include "test_clock.h"
#include "zone/zone_error.h"
#include "zone/zone_layout.h"
#include "zone/zone_mapping.h"
#include "zone_support.h"

namespace vorn {
namespace {

using testing::ManualClock;
using testing::ScratchZone;
constexpr uint64_t kSmallZone = 64 * 1024;  // one shard: 44 sets, 238 log blocks

std::string ip(int n) {
  return std::to_string(10 + n / 65536) + "." + std::to_string(n / 256 % 256) + "." +
         std::to_string(n % 256) + ".1";
}

TEST(ZoneStore, AFullSetReclaimsFreshEquivalentStatesBeforeEvictingTheLeastRecent) {
  ScratchZone zone("evict");
  ManualClock clock;
  // No refill: a used bucket is never fresh-equivalent, so room means eviction.
  Algorithm held = Algorithm::in_zone("token_bucket", 2, 0, zone.name(), kSmallZone, clock.clock());
  for (int n = 0; n < 3000; ++n) held.check(ip(n));
  zone::ZoneStats stats = zone::zone_stats(zone.name());
  EXPECT_LE(stats.keys, stats.capacity);
  EXPECT_GT(stats.evictions, 0u);
  EXPECT_EQ(stats.keys + stats.evictions, 3000u);
  EXPECT_EQ(stats.reclaimed, 0u);

  // A key checked on every step is the most recent in its set: never evicted.
  Algorithm hot =
      Algorithm::in_zone("fixed_window", 1000, 0, zone.name(), std::nullopt, clock.clock());
  for (int n = 0; n < 1000; ++n) {
    EXPECT_EQ(hot.check("hot").remaining, uint64_t(999 - n)) << n;
    held.check(ip(5000 + 2 * n));
    held.check(ip(5001 + 2 * n));
  }

  // With a refill, buckets full again after a pause are reclaimed instead.
  Algorithm refilled =
      Algorithm::in_zone("token_bucket", 2, 100, zone.name(), std::nullopt, clock.clock());
  for (int n = 0; n < 3000; ++n) refilled.check(ip(n));
  clock.advance(1000);
  const uint64_t evictions_before = zone::zone_stats(zone.name()).evictions;
  for (int n = 3000; n < 3500; ++n) refilled.check(ip(n));
  stats = zone::zone_stats(zone.name());
  EXPECT_GT(stats.reclaimed, 0u);
  EXPECT_EQ(stats.evictions + stats.reclaimed - evictions_before, 500u);
  EXPECT_EQ(stats.configs, 3u);
}

TEST(ZoneStore, ConfigurationsSharingAZoneKeepTheirStatesApart) {
  ScratchZone zone("configs");
  ManualClock clock;
  struct Pair {
    Algorithm local;
    Algorithm shared;
  };
  std::vector<Pair> pairs;
  for (const char* name : {"token_bucket", "fixed_window", "sliding_window", "leaky_bucket"}) {
    for (double capacity : {3.0, 4.0}) {
      pairs.push_back(
          {Algorithm::from_name(name, capacity, 1, clock.clock(), Reclaiming::Off),
           Algorithm::in_zone(name, capacity, 1, zone.name(), kSmallZone, clock.clock())});
    }
  }
  for (int step = 0; step < 12; ++step) {
    clock.advance(400);
    for (Pair& pair : pairs) {
      EXPECT_EQ(pair.local.check("same-key").message.text(),
                pair.shared.check("same-key").message.text())
          << step;
    }
  }
  EXPECT_EQ(zone::zone_stats(zone.name()).configs, 8u);
}

TEST(ZoneStore, SlidingWindowLogsStayExactWhileThePoolEvictsOthers) {
  ScratchZone zone("pool");
  ManualClock clock;
  Algorithm window =
      Algorithm::in_zone("sliding_window", 100, 0, zone.name(), kSmallZone, clock.clock());
  // 238 blocks of 7 times in the one shard: about half of what 30 full logs need.
  for (int key = 0; key < 30; ++key) {
    for (int i = 0; i < 100; ++i) {
      ASSERT_TRUE(window.check(ip(key)).allowed) << key << " " << i;
      clock.advance(1);
    }
    EXPECT_FALSE(window.check(ip(key)).allowed) << key;
  }
  EXPECT_GT(zone::zone_stats(zone.name()).evictions, 0u);
  // Once the window has passed, every logged time expires and blocks return.
  clock.advance(61000);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(window.check(ip(29)).allowed) << i;
  EXPECT_FALSE(window.check(ip(29)).allowed);
  EXPECT_THROW(Algorithm::in_zone("sliding_window", 2000, 0, zone.name(), kSmallZone), ZoneError);
}

// A region whose slots someone scribbled on fails the check that reads it,
// and only that one.
TEST(ZoneStore, DamageFoundDuringACheckIsAZoneErrorAndLeavesOtherKeysWorking) {
  ScratchZone zone("damage");
  Algorithm window = Algorithm::in_zone("sliding_window", 10, 0, zone.name(), kSmallZone);
  window.check("victim");
  const int fd = shm_open(zone::object_name(zone.name()).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  void* raw = mmap(nullptr, kSmallZone, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(raw, MAP_FAILED);
  auto* bytes = static_cast<unsigned char*>(raw);
  int damaged = 0;
  for (uint64_t at = zone::kHeaderBytes + zone::kSetsOffset; at + 64 <= kSmallZone; at += 64) {
    auto* slot = reinterpret_cast<zone::Slot*>(bytes + at);
    if (slot->config != 1) continue;
    zone::LogState log{5, 0xFFFFFFF0u, 0, 0xFFFFFFF0u, 0};
    std::memcpy(slot->state, &log, sizeof log);
    ++damaged;
  }
  ASSERT_EQ(damaged, 1);
  try {
    window.check("victim");
    ADD_FAILURE() << "a damaged log was trusted";
  } catch (const ZoneError& error) {
    EXPECT_EQ(std::string(error.what()),
              "zone '" + zone.name() + "': damaged: a log names a block out of range");
  }
  EXPECT_TRUE(window.check("bystander").allowed);
  munmap(raw, kSmallZone);
}

TEST(ZoneLayout, ValidationRefusesEachBrokenPartOfAPrivateRegion) {
  std::vector<unsigned char> region(kSmallZone);
  const uint64_t keys[4] = {1, 2, 3, 4};
  const zone::Geometry geometry = zone::geometry_for(region.size());
  ASSERT_LE(geometry.needed_bytes(), region.size());
  zone::initialise_region("p", region.data(), region.size(), geometry, keys);
  EXPECT_THROW(zone::ZoneView::attach("p", region.data(), region.size()), ZoneError);  // not ready
  zone::publish_ready(region.data());
  EXPECT_NO_THROW(zone::ZoneView::attach("p", region.data(), region.size()));

  auto* header = reinterpret_cast<zone::ZoneHeader*>(region.data());
  const auto refused = [&](auto&& breaks, const std::string& message, uint64_t size) {
    std::vector<unsigned char> saved = region;
    breaks();
    try {
      zone::ZoneView::attach("p", region.data(), size);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const ZoneError& error) {
      EXPECT_EQ(std::string(error.what()), "zone 'p': " + message);
    }
    region = saved;
    header = reinterpret_cast<zone::ZoneHeader*>(region.data());
  };
  refused([&] { header->magic ^= 1; }, "not a vorn zone (bad magic)", region.size());
  refused([&] { header->layout_version = 2; }, "layout version 2, this library reads 1",
          region.size());
  refused([&] { header->shard_count = 3; }, "damaged header (impossible geometry)", region.size());
  refused([&] { header->sets_per_shard = 1u << 30; }, "damaged header (sizes disagree)",
          region.size());
  refused([] {}, "truncated: the header claims 65536 bytes, the region has 65535",
          region.size() - 1);
  refused([] {}, "too small: 100 bytes, at least 65536", 100);
  refused([&] { std::memset(region.data() + zone::kHeaderBytes, 0x5A, 40); },
          "damaged lock in shard 0", region.size());
}

TEST(ZoneLayout, EveryAcceptedSizeFitsItsGeometryAndTheDefaultHoldsAMillionKeys) {
  for (uint64_t size = zone::kMinZoneBytes; size < (uint64_t{1} << 34);
       size = size * 3 / 2 + 4097) {
    const zone::Geometry geometry = zone::geometry_for(size);
    EXPECT_LE(geometry.needed_bytes(), size) << size;
    EXPECT_GE(geometry.blocks_per_shard, zone::blocks_needed(0)) << size;
  }
  EXPECT_GE(zone::geometry_for(zone::kDefaultZoneBytes).slot_count(), 2'000'000u);
}

}  // namespace
}  // namespace vorn
