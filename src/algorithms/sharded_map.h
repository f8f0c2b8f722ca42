// A ShardedMap maps client keys to limiter state in a power-of-two number of
// shards, each a FlatTable behind its own reader-writer lock. A key's shard is
// picked from its SipHash-1-3 hash under the map's own random 128-bit key. The
// shard count is fixed at creation.
//
// Entries are removed only by reclaiming: when a new key is inserted into a
// shard, a few of that shard's entries, taken in turn, are examined and dropped
// if the limiter says a fresh state would answer exactly as theirs would. The
// cost per insertion stays constant, and the map's size follows the clients
// that are still active instead of every client ever seen. The one case where
// a dropped key can be answered differently is a wall clock that steps back
// across the drop: the fresh state starts at the earlier time, while the kept
// state would have remembered the later one (its last refill, its window or
// its logged requests). All methods are thread-safe.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>  // std::shared_lock
#include <string_view>

#include "algorithms/flat_table.h"
#include "algorithms/rw_lock.h"
#include "algorithms/shard_count.h"
#include "algorithms/siphash.h"

namespace vorn {

// Whether a store drops entries that a fresh state would answer identically.
// Off exists for tests that compare against a store keeping every entry.
enum class Reclaiming : bool { Off = false, On = true };

template <typename V>
class ShardedMap {
  struct Shard;

 public:
  // An exclusive reference to one key's state: the shard stays locked until
  // the Entry is destroyed, also when it is destroyed by unwinding.
  class Entry {
   public:
    V& operator*() const { return *value_; }
    V* operator->() const { return value_; }

    // Whether this call inserted the key.
    bool inserted() const { return inserted_; }

    // Examines a few other entries of this shard, taken in turn, and drops
    // those for which `reclaimable(state)` holds. Limiters call it after
    // inserting a key, so reclaiming costs a constant amount per new key.
    template <typename Reclaimable>
    void reclaim_others(const Reclaimable& reclaimable) {
      if (!map_->reclaiming_) return;
      FlatTable<V>& table = shard_->table;
      table.sweep(
          kSweepPerInsert,
          [&](std::string_view key, const V& state) { return key != key_ && reclaimable(state); },
          [this](std::string_view stored) { return map_->hash_of(stored); });
      value_ = table.find(key_, hash_);  // erasing may have moved this key's slot
    }

   private:
    friend class ShardedMap;
    Entry(const ShardedMap* map, Shard* shard, std::unique_lock<RwLock> lock, std::string_view key,
          uint64_t hash, V* value, bool inserted)
        : map_(map),
          shard_(shard),
          lock_(std::move(lock)),
          key_(key),
          hash_(hash),
          value_(value),
          inserted_(inserted) {}
    const ShardedMap* map_;
    Shard* shard_;
    std::unique_lock<RwLock> lock_;
    std::string_view key_;
    uint64_t hash_;
    V* value_;
    bool inserted_;
  };

  explicit ShardedMap(Reclaiming reclaiming = Reclaiming::On)
      : ShardedMap(default_shard_count(), reclaiming) {}

  // `shard_count` must be a power of two.
  explicit ShardedMap(size_t shard_count, Reclaiming reclaiming = Reclaiming::On)
      : shards_(std::make_unique<Shard[]>(shard_count)),
        shard_count_(shard_count),
        shift_(64 - std::countr_zero(shard_count)),
        hash_key_(next_thread_hash_key()),
        reclaiming_(reclaiming == Reclaiming::On) {}

  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  // Entries examined per insertion when reclaiming.
  static constexpr size_t kSweepPerInsert = 2;

  // Locks the key's shard exclusively and returns its state, first inserting
  // `make_initial()` when the key is new. If make_initial throws, nothing is
  // inserted and the lock is released. Thread-safe.
  template <typename MakeInitial>
  Entry entry_or_insert(std::string_view key, MakeInitial&& make_initial) {
    const uint64_t hash = hash_of(key);
    Shard& shard = shards_[shard_index(hash)];
    std::unique_lock lock(shard.mutex);
    V* value = shard.table.find(key, hash);
    const bool inserted = value == nullptr;
    if (inserted) {
      value = shard.table.insert_new(key, hash, make_initial(),
                                     [this](std::string_view stored) { return hash_of(stored); });
    }
    return Entry(this, &shard, std::move(lock), key, hash, value, inserted);
  }

  bool reclaiming() const { return reclaiming_; }

  // Number of keys held. Thread-safe; takes each shard's shared lock in turn.
  size_t size() const {
    size_t total = 0;
    for (size_t i = 0; i < shard_count_; ++i) {
      std::shared_lock lock(shards_[i].mutex);
      total += shards_[i].table.size();
    }
    return total;
  }

  size_t shard_count() const { return shard_count_; }
  const SipKey& hash_key() const { return hash_key_; }

 private:
  struct alignas(64) Shard {
    mutable RwLock mutex;
    FlatTable<V> table;  // guarded by mutex
  };

  uint64_t hash_of(std::string_view key) const { return siphash13_text(hash_key_, key); }

  // The top 7 bits of the hash are the table's tag; the shard comes from the
  // bits right below them.
  size_t shard_index(uint64_t hash) const {
    return shift_ >= 64 ? 0 : static_cast<size_t>((hash << 7) >> shift_);
  }

  std::unique_ptr<Shard[]> shards_;
  size_t shard_count_;
  unsigned shift_;
  SipKey hash_key_;
  bool reclaiming_;
};

}  // namespace vorn
