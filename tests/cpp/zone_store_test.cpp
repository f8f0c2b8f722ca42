// The zone store's bounds: a full set reclaims before it evicts, logs give
// their blocks back, configurations never meet, and a region is validated
// before it is trusted (over a private buffer as well as a mapping).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
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
constexpr uint64_t kSmallZone = 128 * 1024;  // one shard: 70 sets, 380 log blocks

std::string ip(int n) {
  return std::to_string(10 + n / 65536) + "." + std::to_string(n / 256 % 256) + "." +
         std::to_string(n % 256) + ".1";
}

TEST(ZoneStore, AFullSetReclaimsFreshEquivalentStatesBeforeEvictingTheLeastRecent) {
  ScratchZone zone("evict");
  ManualClock clock;
  // No refill: a used bucket is never fresh-equivalent, so room means eviction.
  Algorithm held = Algorithm::in_zone("token_bucket", 2, 0,
                                      testing::placement(zone.name(), kSmallZone), clock.clock());
  for (int n = 0; n < 3000; ++n) held.check(ip(n));
  zone::ZoneStats stats = zone::zone_stats(zone.name());
  EXPECT_LE(stats.keys, stats.capacity);
  EXPECT_GT(stats.evictions, 0u);
  EXPECT_EQ(stats.keys + stats.evictions, 3000u);
  EXPECT_EQ(stats.reclaimed, 0u);

  // A key checked on every step is the most recent in its set: never evicted.
  Algorithm hot = Algorithm::in_zone("fixed_window", 1000, 0,
                                     testing::placement(zone.name(), std::nullopt), clock.clock());
  for (int n = 0; n < 1000; ++n) {
    EXPECT_EQ(hot.check("hot").remaining, uint64_t(999 - n)) << n;
    held.check(ip(5000 + 2 * n));
    held.check(ip(5001 + 2 * n));
  }

  // With a refill, buckets full again after a pause are reclaimed instead.
  Algorithm refilled = Algorithm::in_zone(
      "token_bucket", 2, 100, testing::placement(zone.name(), std::nullopt), clock.clock());
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
           Algorithm::in_zone(name, capacity, 1, testing::placement(zone.name(), kSmallZone),
                              clock.clock())});
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
  Algorithm window = Algorithm::in_zone("sliding_window", 100, 0,
                                        testing::placement(zone.name(), kSmallZone), clock.clock());
  // 380 blocks of 7 runs in the one shard: less than 30 full logs of single requests need.
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
  EXPECT_THROW(Algorithm::in_zone("sliding_window", 3000, 0, testing::placement(zone.name())),
               zone::ZoneRefusal);
}

// Damage found during a check is repaired there: a bad log resets its shard,
// a bad bucket only its client, and each client then starts fresh.
TEST(ZoneStore, DamageFoundDuringACheckIsRepairedAndTheChecksGoOn) {
  ScratchZone zone("damage");
  Algorithm window =
      Algorithm::in_zone("sliding_window", 3, 0, testing::placement(zone.name(), kSmallZone));
  Algorithm bucket =
      Algorithm::in_zone("token_bucket", 3, 0, testing::placement(zone.name(), kSmallZone));
  for (int i = 0; i < 3; ++i) window.check("victim"), bucket.check("spender");
  ASSERT_FALSE(window.check("victim").allowed);
  testing::RawZone raw(zone.name(), kSmallZone);
  zone::LogState log{5, 0xFFFFFFF0u, 0, 0xFFFFFFF0u, 5, 0, 0};
  std::memcpy(raw.slot_of(1)->state, &log, sizeof log);
  EXPECT_TRUE(window.check("victim").allowed);
  EXPECT_EQ(zone::zone_stats(zone.name()).repairs, 1u);
  EXPECT_TRUE(bucket.check("spender").allowed);  // the shard's reset emptied it too

  for (int i = 0; i < 3; ++i) bucket.check("spender");
  const double nan = std::nan("");
  std::memcpy(raw.slot_of(2)->state, &nan, sizeof nan);
  EXPECT_EQ(bucket.check("spender").remaining, 2u);
  EXPECT_EQ(zone::zone_stats(zone.name()).repairs, 2u);

  // Garbage in the journal's count: the shard cannot be trusted, and is reset.
  std::memset(raw.base + zone::kHeaderBytes + zone::kJournalIndexOffset, 0xA5, 64);
  EXPECT_EQ(bucket.check("spender").remaining, 2u);
  EXPECT_EQ(zone::zone_stats(zone.name()).repairs, 3u);
}

TEST(ZoneLayout, ValidationRefusesEachBrokenPartOfAPrivateRegion) {
  std::vector<unsigned char> region(kSmallZone);
  const uint64_t keys[4] = {1, 2, 3, 4};
  const zone::Geometry geometry = zone::geometry_for(region.size());
  ASSERT_LE(geometry.needed_bytes(), region.size());
  zone::initialise_region(region.data(), region.size(), geometry, keys);
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
  refused([&] { header->layout_version = 7; }, "layout version 7, this library reads 3",
          region.size());
  refused([&] { header->shard_count = 3; }, "damaged header (impossible geometry)", region.size());
  refused([&] { header->sets_per_shard = 1u << 30; }, "damaged header (sizes disagree)",
          region.size());
  refused([] {}, "truncated: the header claims 131072 bytes, the region has 131071",
          region.size() - 1);
  refused([] {}, "too small: 100 bytes, at least 131072", 100);
}

TEST(ZoneLayout, EveryAcceptedSizeFitsItsGeometryAndTheDefaultHoldsItsClients) {
  for (uint64_t size = zone::kMinZoneBytes; size < (uint64_t{1} << 34);
       size = size * 3 / 2 + 4097) {
    const zone::Geometry geometry = zone::geometry_for(size);
    EXPECT_LE(geometry.needed_bytes(), size) << size;
    EXPECT_GE(geometry.blocks_per_shard, zone::blocks_needed(0)) << size;
  }
  EXPECT_GE(zone::geometry_for(zone::kDefaultZoneBytes).slot_count(), 390'000u);
}

}  // namespace
}  // namespace vorn
