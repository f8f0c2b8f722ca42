// A ShardTransaction is one check's exclusive hold on a zone shard: it takes the
// shard's robust lock and makes every change it covers all-or-nothing. Before
// any unit (slot, log block, state line) is written, touch() saves the unit's
// old bytes in the shard's undo journal and only then counts it there. commit()
// empties the journal; a transaction destroyed without commit() (an exception)
// puts every saved unit back. A writer killed at any instruction leaves a lock
// whose next owner gets EOWNERDEAD: it restores the journal the same way,
// which is idempotent, so a successor that dies too is repaired by the next.
//
// Every index taken from the region goes through a checked accessor that
// throws ShardDamaged instead of leaving the region; the check that meets it
// rolls back and resets the shard (reset()), whose clients then start fresh.
// Not copyable; used by one thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "zone/shared_lock.h"
#include "zone/zone_layout.h"

namespace vorn::zone {

// Test seam: when set, called inside a shard's critical section right after a
// check's first write, before the check commits. Never set by the library.
inline void (*inside_critical_section_hook)() = nullptr;

// What a shard found inconsistent throws: never leaves the zone's code.
struct ShardDamaged {
  std::string_view what;
};

class ShardTransaction {
 public:
  // Locks shard `shard` (which must be below the shard count) and repairs it
  // when the previous holder died. Throws ZoneError when the lock fails.
  ShardTransaction(const ZoneView& zone, uint32_t shard);
  ShardTransaction(const ShardTransaction&) = delete;
  ShardTransaction& operator=(const ShardTransaction&) = delete;
  ~ShardTransaction();

  // Saves the unit at `unit` (inside this shard) before it is first written.
  void touch(const void* unit);
  void commit();
  // Undoes this transaction's writes and empties the shard: every way, every
  // log block and the pool. Its counters stay, and repairs counts one more.
  void reset();

  ShardState& state() const { return *reinterpret_cast<ShardState*>(base_ + kStateOffset); }
  Slot* set(uint32_t index) const {
    return reinterpret_cast<Slot*>(base_ + kSetsOffset + uint64_t{index} * kSetBytes);
  }
  Slot* slot(uint64_t index) const { return reinterpret_cast<Slot*>(base_ + kSetsOffset) + index; }
  uint64_t slot_count() const { return uint64_t{zone_.geometry().sets_per_shard} * kWays; }
  // The block `index` names; throws ShardDamaged when it is out of range.
  Block& block(uint32_t index) const;
  [[noreturn]] void damaged(std::string_view what) const;

  const ZoneView& zone() const { return zone_; }

 private:
  void roll_back();

  const ZoneView& zone_;
  unsigned char* base_;
  SharedLockGuard lock_;
  uint32_t saved_ = 0;
};

}  // namespace vorn::zone
