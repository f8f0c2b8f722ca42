#include "zone/shard_slots.h"

#include <optional>

#include "algorithms/fixed_window.h"
#include "algorithms/leaky_bucket.h"
#include "algorithms/numeric.h"
#include "algorithms/token_bucket.h"

namespace vorn::zone {

bool is_fresh_equivalent(const ShardTransaction& tx, const Slot& slot, uint64_t now) {
  const std::optional<ZoneConfig> found =
      tx.zone().config(read_index(slot.config), read_index(slot.config_tag));
  if (!found) return true;
  const ZoneConfig& config = *found;
  switch (static_cast<Kind>(config.kind)) {
    case Kind::TokenBucket:
      return token_bucket::is_fresh_equivalent(state_of<token_bucket::Bucket>(slot), now,
                                               config.capacity, config.rate);
    case Kind::LeakyBucket:
      return leaky_bucket::is_fresh_equivalent(state_of<leaky_bucket::Bucket>(slot), now,
                                               config.rate);
    case Kind::FixedWindow:
      return fixed_window::is_fresh_equivalent(state_of<Window>(slot), now, config.window_ms);
    case Kind::SlidingWindow: {
      // Every check stamps the slot with the time it may log at (recency_ms).
      const uint64_t stamped = recency_ms(slot.last_used);
      return stamped <= now && now - stamped >= config.window_ms;
    }
  }
  return false;
}

namespace {

// Whether `slot` holds log blocks: the slot's own record of its kind says,
// so an orphan's blocks go back to the pool too.
bool holds_log(const Slot& slot) {
  return read_index(slot.config) != 0 &&
         (read_index(slot.config_tag) & 3u) == static_cast<uint32_t>(Kind::SlidingWindow) &&
         state_of<LogState>(slot).size != 0;
}

}  // namespace

void release_log(ShardTransaction& tx, const Slot& slot) {
  if (!holds_log(slot)) return;
  const LogState log = checked_log(tx, slot);
  tx.block(log.head);
  Block& tail = tx.block(log.tail);
  ShardState& state = tx.state();
  tx.touch(&tail);
  tx.touch(&state);
  tail.next = state.free_head;
  state.free_head = log.head;
}

void drop_state(ShardTransaction& tx, Slot& slot, bool reclaimed) {
  release_log(tx, slot);
  ShardState& state = tx.state();
  tx.touch(&state);
  tx.touch(&slot);
  if (reclaimed) {
    state.reclaimed += 1;
  } else {
    state.evictions += 1;
  }
}

uint32_t allocate_block(ShardTransaction& tx, HeldSlots held, uint64_t now) {
  ShardState& state = tx.state();
  const uint32_t blocks = tx.zone().geometry().blocks_per_shard;
  tx.touch(&state);
  if (read_index(state.free_head) == kNoBlock && read_index(state.unused_blocks_from) >= blocks) {
    // Examine up to eight logs from where the last search stopped, by their
    // slots alone (consecutive lines), never by their blocks (a miss each).
    const uint64_t slots = tx.slot_count();
    uint64_t at = read_index(state.cursor) % slots;
    Slot* victim = nullptr;
    bool victim_reclaimable = false;
    int examined = 0;
    for (uint64_t step = 0; step < slots && examined < 8; ++step, at = (at + 1) % slots) {
      Slot* candidate = tx.slot(at);
      if (!holds_log(*candidate) || is_held(held, candidate)) continue;
      ++examined;
      const bool reclaimable = is_fresh_equivalent(tx, *candidate, now);
      if (victim == nullptr || (reclaimable && !victim_reclaimable) ||
          (reclaimable == victim_reclaimable && candidate->last_used < victim->last_used)) {
        victim = candidate;
        victim_reclaimable = reclaimable;
      }
    }
    state.cursor = static_cast<uint32_t>(at);
    if (victim == nullptr) tx.damaged("the log pool is empty with no log holding it");
    drop_state(tx, *victim, victim_reclaimable);
    victim->config = 0;
    state.keys -= 1;
  }
  uint32_t block_index = read_index(state.free_head);
  if (block_index != kNoBlock) {
    Block& block = tx.block(block_index);
    state.free_head = read_index(block.next);
  } else {
    block_index = read_index(state.unused_blocks_from);
    if (block_index >= blocks) tx.damaged("the log pool's bounds");
    state.unused_blocks_from = block_index + 1;
  }
  Block& block = tx.block(block_index);
  tx.touch(&block);
  block.next = kNoBlock;
  return block_index;
}

}  // namespace vorn::zone
