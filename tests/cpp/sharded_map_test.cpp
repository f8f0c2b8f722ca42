#include "algorithms/sharded_map.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>
#include <vector>

#include "algorithms/fatal_error.h"
#include "algorithms/flat_table.h"
#include "algorithms/request_log.h"
#include "algorithms/shard_count.h"
#include "algorithms/siphash.h"

namespace vorn {
namespace {

TEST(SipHash13, MatchesReferenceValuesWithTrailingFFByte) {
  // Reference values: SipHash-1-3 with key (0, 0) over the text's bytes and 0xFF.
  const SipKey zero{0, 0};
  EXPECT_EQ(siphash13_text(zero, ""), 3476900567878811119u);
  EXPECT_EQ(siphash13_text(zero, "a"), 8186225505942432243u);
  EXPECT_EQ(siphash13_text(zero, "ab"), 7391266126405785627u);
  EXPECT_EQ(siphash13_text(zero, "abc"), 17224545590736200989u);
  EXPECT_EQ(siphash13_text(zero, "abcd"), 13543138095457285553u);
  EXPECT_EQ(siphash13_text(zero, "abcde"), 6096364545333141307u);
  EXPECT_EQ(siphash13_text(zero, "abcdef"), 16096452501350407259u);
  EXPECT_EQ(siphash13_text(zero, "abcdefg"), 2492161047327640297u);
  EXPECT_EQ(siphash13_text(zero, "abcdefgh"), 6689927370435554326u);
  EXPECT_EQ(siphash13_text(zero, "192.168.100.200"), 6837532918475792675u);
  EXPECT_EQ(siphash13_text(zero, "a much longer key that spans words"), 15821794401591480334u);
}

TEST(HashKeys, EachMapOnAThreadGetsTheNextKey) {
  ShardedMap<int> first(4), second(4);
  EXPECT_EQ(second.hash_key().k0, first.hash_key().k0 + 1);
  EXPECT_EQ(second.hash_key().k1, first.hash_key().k1);
  SipKey other_thread;
  std::thread([&] { other_thread = ShardedMap<int>(4).hash_key(); }).join();
  EXPECT_NE(other_thread.k1, first.hash_key().k1);
}

TEST(ShardCount, FourPerThreadRoundedUpToPowerOfTwo) {
  EXPECT_EQ(shard_count_for(0), 4u);
  EXPECT_EQ(shard_count_for(1), 4u);
  EXPECT_EQ(shard_count_for(2), 8u);
  EXPECT_EQ(shard_count_for(3), 16u);
  EXPECT_EQ(shard_count_for(8), 32u);
  EXPECT_EQ(shard_count_for(9), 64u);
  EXPECT_GE(default_shard_count(), 4u);
  EXPECT_EQ(ShardedMap<int>().shard_count(), default_shard_count());
}

TEST(ShardCount, CgroupQuotaParsing) {
  EXPECT_EQ(cgroup_v2_quota_cpus("max 100000\n"), std::nullopt);
  EXPECT_EQ(cgroup_v2_quota_cpus("200000 100000\n"), 2u);
  EXPECT_EQ(cgroup_v2_quota_cpus("150000 100000"), 1u);
  EXPECT_EQ(cgroup_v2_quota_cpus("50000 100000"), 1u);  // never below one
  EXPECT_EQ(cgroup_v2_quota_cpus(""), std::nullopt);
  EXPECT_EQ(cgroup_v2_quota_cpus("garbage"), std::nullopt);
  EXPECT_EQ(cgroup_v1_quota_cpus("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(cgroup_v1_quota_cpus("400000\n", "100000\n"), 4u);
  EXPECT_EQ(cgroup_v1_quota_cpus("400000", "0"), std::nullopt);
}

TEST(ShardedMap, InsertsOnceAndKeepsStateAcrossGrowth) {
  ShardedMap<int> map(4);
  int made = 0;
  for (int i = 0; i < 5000; ++i) {
    *map.entry_or_insert("key-" + std::to_string(i), [&] { return ++made; }) += 0;
  }
  EXPECT_EQ(made, 5000);
  EXPECT_EQ(map.size(), 5000u);
  for (int i = 0; i < 5000; ++i) {
    auto entry = map.entry_or_insert("key-" + std::to_string(i), [&] { return -1; });
    EXPECT_EQ(*entry, i + 1) << i;
  }
  EXPECT_EQ(made, 5000);
}

TEST(ShardedMap, ShortLongEmptyAndBinaryKeysAreDistinct) {
  ShardedMap<int> map(4);
  const std::string keys[] = {"",
                              "1.2.3.4",
                              "123456789012345",
                              "1234567890123456",
                              std::string(1000, 'x'),
                              std::string("a\0b", 3),
                              "a"};
  for (size_t i = 0; i < std::size(keys); ++i) {
    *map.entry_or_insert(keys[i], [] { return 0; }) = static_cast<int>(i);
  }
  for (size_t i = 0; i < std::size(keys); ++i) {
    EXPECT_EQ(*map.entry_or_insert(keys[i], [] { return -1; }), static_cast<int>(i)) << i;
  }
}

TEST(ShardedMap, FailedInitialStateInsertsNothingAndReleasesTheLock) {
  ShardedMap<int> map(4);
  EXPECT_THROW(map.entry_or_insert("k", []() -> int { throw FatalError("boom"); }), FatalError);
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(*map.entry_or_insert("k", [] { return 7; }), 7);  // would deadlock if still locked
}

TEST(ShardedMap, ConcurrentIncrementsAreNeverLost) {
  ShardedMap<int> map;
  std::vector<std::string> keys;
  for (int i = 0; i < 64; ++i) keys.push_back(std::to_string(i));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) ++*map.entry_or_insert(keys[i % 64], [] { return 0; });
    });
  }
  for (auto& thread : threads) thread.join();
  int total = 0;
  for (const auto& key : keys) total += *map.entry_or_insert(key, [] { return 0; });
  EXPECT_EQ(total, 80000);
}

// Every key hashes alike, so one probe run holds them all and most lie 255 or
// more slots from home: reclaiming every other one must leave the rest found.
TEST(FlatTable, ReclaimingKeepsEveryOtherEntryFoundInOneLongRun) {
  FlatTable<int> table;
  const auto same_hash = [](std::string_view) { return uint64_t{0x8000'0000'0000'0005}; };
  for (int i = 0; i < 600; ++i) {
    if (table.needs_room()) table.make_room([](int) { return false; }, same_hash);
    table.insert_new("k" + std::to_string(i), same_hash(""), int{i}, same_hash);
  }
  while (!table.needs_room()) {
    table.insert_new("k" + std::to_string(table.size()), same_hash(""), int(table.size()), same_hash);
  }
  const size_t capacity = table.capacity();
  table.make_room([](int value) { return value % 2 == 1; }, same_hash);
  EXPECT_EQ(table.capacity(), capacity);  // half the entries freed: no growth
  for (int i = 0; i < int(capacity * 3 / 4); ++i) {
    int* value = table.find("k" + std::to_string(i), same_hash(""));
    if (i % 2 == 1) {
      EXPECT_EQ(value, nullptr) << i;
    } else {
      ASSERT_NE(value, nullptr) << i;
      EXPECT_EQ(*value, i);
    }
  }
}

TEST(RequestLog, RingKeepsOrderAcrossGrowthAndWraparound) {
  RequestLog log;
  EXPECT_TRUE(log.empty());
  log.push_back(1);
  EXPECT_EQ(log.capacity(), 1u);  // one entry is held inline
  uint64_t next_in = 2, next_out = 1;
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < round % 7 + 1; ++i) log.push_back(next_in++);
    for (int i = 0; i < round % 5 + 1 && !log.empty(); ++i) {
      ASSERT_EQ(log.front(), next_out++);
      log.pop_front();
    }
  }
  while (!log.empty()) {
    ASSERT_EQ(log.front(), next_out++);
    log.pop_front();
  }
  EXPECT_EQ(next_out, next_in);
  RequestLog moved(std::move(log));
  moved.push_back(9);
  EXPECT_EQ(moved.front(), 9u);
}

// The arithmetic at sizes no test can allocate: a 32-bit count wrapped at 2^32
// and doubled 2^31 entries to none.
TEST(RequestLog, RingArithmeticHoldsPast32Bits) {
  namespace ring = request_ring;
  const uint64_t two_32 = uint64_t{1} << 32;
  const uint64_t word = ring::pack(33, two_32 + 5);
  EXPECT_EQ(ring::count(word), two_32 + 5);
  EXPECT_EQ(ring::capacity(word), 2 * two_32);
  EXPECT_EQ(ring::slot(word, two_32 - 1, 1), two_32);
  EXPECT_EQ(ring::slot(word, 2 * two_32 - 1, 1), 0u);
  EXPECT_EQ(ring::slot(word, two_32, ring::count(word) - 1), 4u);
  EXPECT_EQ(ring::capacity(ring::pack(ring::doubled(31), 0)), two_32);

  // At the largest capacity a full count still leaves the logarithm alone;
  // past it, growing fails.
  const uint64_t full = ring::pack(ring::kMaxLog2, RequestLog::kMaxCapacity - 1) + 1;
  EXPECT_EQ(ring::count(full), RequestLog::kMaxCapacity);
  EXPECT_EQ(ring::capacity(full), RequestLog::kMaxCapacity);
  EXPECT_EQ(ring::slot(full, RequestLog::kMaxCapacity - 1, 1), 0u);
  EXPECT_THROW(ring::doubled(ring::kMaxLog2), std::bad_alloc);
}

}  // namespace
}  // namespace vorn
