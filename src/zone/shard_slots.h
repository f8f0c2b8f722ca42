// What a check does with a shard's slots and log blocks besides deciding: read
// and write a slot's state, tell whether a state is one a fresh one would
// answer alike, hand a log's blocks back to the pool and take one from it.
//
// A check may hold several slots at once (one per rate of its limit); it
// passes them as HeldSlots, and nothing it does to make room ever evicts or
// reclaims one of them. Every function requires the shard's lock (a live
// ShardTransaction), reads each index of the region once, and throws
// ShardDamaged for what cannot be.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <span>

#include "zone/shard_transaction.h"
#include "zone/zone_layout.h"

namespace vorn::zone {

template <typename T>
T state_of(const Slot& slot) {
  static_assert(sizeof(T) <= sizeof(Slot::state));
  T value;
  std::memcpy(&value, slot.state, sizeof value);
  return value;
}

template <typename T>
void store_state(Slot& slot, const T& value) {
  std::memcpy(slot.state, &value, sizeof value);
}

// One read of a word another process may write.
inline uint32_t read_index(const uint32_t& field) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(field)).load(std::memory_order_relaxed);
}
inline uint64_t read_word(const uint64_t& field) {
  return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(field)).load(std::memory_order_relaxed);
}

inline constexpr LogState kEmptyLog{0, kNoBlock, 0, kNoBlock, 0, 0, 0};

// The slots one check holds.
using HeldSlots = std::span<Slot* const>;

inline bool is_held(HeldSlots held, const Slot* slot) {
  for (const Slot* mine : held) {
    if (mine == slot) return true;
  }
  return false;
}

// The log in `slot`, checked against what the shard's pool could ever hold:
// every run stands for at least one request, and no more runs fit than the
// pool holds.
inline LogState checked_log(const ShardTransaction& tx, const Slot& slot) {
  const LogState log = state_of<LogState>(slot);
  if (log.runs > uint64_t{tx.zone().geometry().blocks_per_shard} * kBlockRuns ||
      log.runs > log.size || (log.size != 0) != (log.runs != 0)) {
    tx.damaged("a log whose runs cannot be");
  }
  if (log.size != 0 && log.head_pos >= kBlockRuns) tx.damaged("a log starts past its block");
  return log;
}

// Whether `slot` holds a state that a fresh one under its own configuration
// would answer identically from `now` on. An orphan (its configuration freed)
// is never asked again, so it counts as fresh. A log is told by its slot's
// age alone, never by its blocks (a cache miss each, and eviction asks up to
// sixteen): one last touched a whole window ago is over. A log whose requests
// have all left while its key was still asked (refused, or refunded) then
// goes by recency instead.
bool is_fresh_equivalent(const ShardTransaction& tx, const Slot& slot, uint64_t now);

// Gives the blocks of `slot`'s log, if it has one, back to the pool; the
// slot itself is left for the caller to clear or refill.
void release_log(ShardTransaction& tx, const Slot& slot);

// Empties `slot` for a new state, counting why its old one went.
void drop_state(ShardTransaction& tx, Slot& slot, bool reclaimed);

// Hands out one free block, evicting the least recently used of a few logs
// when the pool is empty; never one of the `held` slots.
uint32_t allocate_block(ShardTransaction& tx, HeldSlots held, uint64_t now);

}  // namespace vorn::zone
