// A ShardedMap maps client keys to limiter state in a power-of-two number of
// shards, each a FlatTable behind its own reader-writer lock. A key's shard is
// picked from its SipHash-1-3 hash under the map's own random 128-bit key. The
// shard count is fixed at creation.
//
// Entries are removed only by reclaiming: when a new key finds its shard's
// table at its maximum load, the table first drops every entry the limiter
// says a fresh state would answer exactly as theirs would, and grows only if
// that frees too little. A client that returns while its shard has room keeps
// its entry, however long it stayed away; the size of the map still follows
// the clients that are active rather than every client ever seen, and the
// cost per insertion stays constant on average. The one case where a dropped
// key can be answered differently is a wall clock that steps back across the
// drop: the fresh state starts at the earlier time, while the kept state would
// have remembered the later one (its last refill, its window or its logged
// requests).
//
// Each shard also counts the checks that ran under its lock (Entry::count),
// so that counting a check costs no atomic read-modify-write of a counter
// every thread shares; counts() sums them. A fork never leaves a shard locked:
// the map's one ForkGuard, at LockLevel::Shard, takes every shard's lock
// exclusively in index order before a fork and releases them after it, so a
// child's counts are the parent's at the fork. All methods are thread-safe.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>  // std::shared_lock
#include <string_view>
#include <utility>

#include "algorithms/flat_table.h"
#include "algorithms/rw_lock.h"
#include "algorithms/shard_count.h"
#include "algorithms/siphash.h"
#include "core/check_counts.h"
#include "core/fork_guard.h"

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

    // Counts, as `as` says, the check that holds this entry, in its shard.
    void count(const CountAs& as, bool allowed) const {
      if (as.counts) counts_->add_serialized(allowed ? CheckOutcomeKind::Allowed : as.refused);
    }

   private:
    friend class ShardedMap;
    Entry(std::unique_lock<RwLock> lock, V* value, bool inserted, CheckCounter* counts)
        : lock_(std::move(lock)), value_(value), inserted_(inserted), counts_(counts) {}
    std::unique_lock<RwLock> lock_;
    V* value_;
    bool inserted_;
    CheckCounter* counts_;  // the shard's, written only under lock_
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

  // Locks the key's shard exclusively and returns its state, first inserting
  // `make_initial()` when the key is new. When the new key finds the shard's
  // table full, `make_reclaimable()` gives the predicate on a stored state
  // that says a fresh state would answer exactly as it would; every stored
  // state it holds for is dropped before the table would grow. If
  // make_reclaimable or make_initial throws, nothing is inserted (some
  // reclaimable entries may be gone) and the lock is released. Thread-safe.
  template <typename MakeInitial, typename MakeReclaimable>
  Entry entry_or_insert(std::string_view key, MakeInitial&& make_initial,
                        MakeReclaimable&& make_reclaimable) {
    const uint64_t hash = hash_of(key);
    Shard& shard = shards_[shard_index(hash)];
    std::unique_lock lock(shard.mutex);
    V* value = shard.table.find(key, hash);
    const bool inserted = value == nullptr;
    if (inserted) {
      const auto hasher = [this](std::string_view stored) { return hash_of(stored); };
      // An empty table has nothing to reclaim: it grows without asking.
      if (reclaiming_ && shard.table.needs_room() && shard.table.size() > 0) {
        shard.table.make_room(make_reclaimable(), hasher);
      }
      value = shard.table.insert_new(key, hash, make_initial(), hasher);
    }
    return Entry(std::move(lock), value, inserted, &shard.counts);
  }

  // The same for a store whose states are never reclaimable.
  template <typename MakeInitial>
  Entry entry_or_insert(std::string_view key, MakeInitial&& make_initial) {
    return entry_or_insert(key, std::forward<MakeInitial>(make_initial),
                           [] { return [](const V&) { return false; }; });
  }

  // Locks the key's shard exclusively and returns its state; nullopt (with
  // the lock released) when the key has none. Thread-safe.
  std::optional<Entry> find_entry(std::string_view key) {
    const uint64_t hash = hash_of(key);
    Shard& shard = shards_[shard_index(hash)];
    std::unique_lock lock(shard.mutex);
    V* value = shard.table.find(key, hash);
    if (value == nullptr) return std::nullopt;
    return Entry(std::move(lock), value, false, &shard.counts);
  }

  // Forgets the key's state, if it has one. Thread-safe.
  void erase(std::string_view key) {
    const uint64_t hash = hash_of(key);
    Shard& shard = shards_[shard_index(hash)];
    std::unique_lock lock(shard.mutex);
    shard.table.erase(key, hash, [this](std::string_view stored) { return hash_of(stored); });
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

  // What Entry::count counted, over every shard. Thread-safe; takes no lock,
  // so checks running meanwhile may or may not be in it.
  CheckCounts counts() const {
    CheckCounts total;
    for (size_t i = 0; i < shard_count_; ++i) total += shards_[i].counts.counts();
    return total;
  }

  size_t shard_count() const { return shard_count_; }
  const SipKey& hash_key() const { return hash_key_; }

 private:
  struct alignas(64) Shard {
    mutable RwLock mutex;
    FlatTable<V> table;   // guarded by mutex
    CheckCounter counts;  // written under mutex, read at any time
  };

  // A fork's hooks. Exclusive, so a fork also waits out size()'s readers and
  // the child gets each shard with neither writer nor reader. No code holds
  // two shards at once, so the index order cannot invert another holder's.
  static void lock_shards(void* map) noexcept {
    auto& self = *static_cast<ShardedMap*>(map);
    for (size_t i = 0; i < self.shard_count_; ++i) self.shards_[i].mutex.lock();
  }
  static void unlock_shards(void* map) noexcept {
    auto& self = *static_cast<ShardedMap*>(map);
    for (size_t i = 0; i < self.shard_count_; ++i) self.shards_[i].mutex.unlock();
  }

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
  // Last: registered once the shards exist, unregistered before they go.
  ForkGuard fork_guard_{LockLevel::Shard, this, &lock_shards, &unlock_shards};
};

}  // namespace vorn
