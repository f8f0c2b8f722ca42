// A ShardedMap maps client keys to limiter state in a power-of-two number of
// shards, each a FlatTable behind its own reader-writer lock. A key's shard is
// picked from its SipHash-1-3 hash under the map's own random 128-bit key. The
// shard count is fixed at creation; entries are never removed. All methods are
// thread-safe.
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

template <typename V>
class ShardedMap {
 public:
  // An exclusive reference to one key's state: the shard stays locked until
  // the Entry is destroyed, also when it is destroyed by unwinding.
  class Entry {
   public:
    V& operator*() const { return *value_; }
    V* operator->() const { return value_; }

   private:
    friend class ShardedMap;
    Entry(std::unique_lock<RwLock> lock, V* value)
        : lock_(std::move(lock)), value_(value) {}
    std::unique_lock<RwLock> lock_;
    V* value_;
  };

  ShardedMap() : ShardedMap(default_shard_count()) {}

  // `shard_count` must be a power of two.
  explicit ShardedMap(size_t shard_count)
      : shards_(std::make_unique<Shard[]>(shard_count)),
        shard_count_(shard_count),
        shift_(64 - std::countr_zero(shard_count)),
        hash_key_(next_thread_hash_key()) {}

  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  // Locks the key's shard exclusively and returns its state, first inserting
  // `make_initial()` when the key is new. If make_initial throws, nothing is
  // inserted and the lock is released. Thread-safe.
  template <typename MakeInitial>
  Entry entry_or_insert(std::string_view key, MakeInitial&& make_initial) {
    const uint64_t hash = hash_of(key);
    Shard& shard = shards_[shard_index(hash)];
    std::unique_lock lock(shard.mutex);
    V* value = shard.table.find(key, hash);
    if (value == nullptr) {
      value = shard.table.insert_new(key, hash, make_initial(),
                                     [this](std::string_view stored) { return hash_of(stored); });
    }
    return Entry(std::move(lock), value);
  }

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
};

}  // namespace vorn
