#include "zone/zone_limiter.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "algorithms/fixed_window.h"
#include "algorithms/leaky_bucket.h"
#include "algorithms/numeric.h"
#include "algorithms/sliding_window.h"
#include "algorithms/token_bucket.h"
#include "zone/shard_transaction.h"
#include "zone/zone_error.h"

namespace vorn {
namespace {

using zone::Block;
using zone::kBlockTimes;
using zone::Kind;
using zone::kNoBlock;
using zone::kWays;
using zone::LogState;
using zone::ShardTransaction;
using zone::Slot;
using zone::ZoneConfig;

// What orders slots by their last use: the check's wall-clock millisecond, and
// below it a count of this thread's checks, which orders the checks of one
// thread within a millisecond (those of different processes there tie). No
// clock reading of its own: the time-stamp counter costs about 25 ns in a VM.
uint64_t recency_stamp(uint64_t now) {
  thread_local uint32_t sequence = 0;
  return (now << 20) | (++sequence & 0xFFFFF);
}

// The second digest that tells apart keys whose keyed SipHash digests agree
// (one pair in 2^64). Collisions of the SipHash digest cannot be steered
// without its key, so this one need only mix well: a multiply-xorshift over the
// key's 8-byte words, seeded from the zone's second key pair.
uint64_t secondary_digest(const SipKey& key, std::string_view text) {
  uint64_t hash = key.k0 ^ (text.size() * 0x9E3779B97F4A7C15ULL);
  size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    hash = (hash ^ word) * 0xBF58476D1CE4E5B9ULL;
    hash ^= hash >> 31;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, text.data() + at, text.size() - at);
  hash = (hash ^ tail ^ key.k1) * 0x94D049BB133111EBULL;
  return hash ^ (hash >> 29);
}

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

uint32_t read_index(const uint32_t& field) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(field)).load(std::memory_order_relaxed);
}

// The log's size, checked against what the shard's pool could ever hold.
uint64_t checked_size(const ShardTransaction& tx, const LogState& log) {
  if (log.size > uint64_t{tx.zone().geometry().blocks_per_shard} * kBlockTimes) {
    tx.damaged("a log longer than its pool");
  }
  if (log.size != 0 && log.head_pos >= kBlockTimes) tx.damaged("a log starts past its block");
  return log.size;
}

// Whether every logged time is earlier than `time` (true when empty).
bool log_all_before(const ShardTransaction& tx, const LogState& log, uint64_t time) {
  uint64_t left = checked_size(tx, log);
  uint32_t block = log.head;
  uint32_t position = log.head_pos;
  while (left > 0) {
    const Block& current = tx.block(block);
    for (; position < kBlockTimes && left > 0; ++position, --left) {
      if (current.times[position] >= time) return false;
    }
    block = read_index(current.next);
    position = 0;
  }
  return true;
}

// Whether `slot` holds a state that a fresh one under its own configuration
// would answer identically from `now` on. An orphan (its configuration freed)
// is never asked again, so it counts as fresh.
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
    case Kind::SlidingWindow:
      return log_all_before(tx, state_of<LogState>(slot), saturating_sub(now, config.window_ms));
  }
  return false;
}

// Whether `slot` holds log blocks: the slot's own record of its kind says,
// so an orphan's blocks go back to the pool too.
bool holds_log(const Slot& slot) {
  return read_index(slot.config) != 0 &&
         (read_index(slot.config_tag) & 3u) == static_cast<uint32_t>(Kind::SlidingWindow) &&
         state_of<LogState>(slot).size != 0;
}

// Gives the blocks of `slot`'s log, if it has one, back to the pool.
void release_log(ShardTransaction& tx, const Slot& slot) {
  if (!holds_log(slot)) return;
  const LogState log = state_of<LogState>(slot);
  checked_size(tx, log);
  tx.block(log.head);
  Block& tail = tx.block(log.tail);
  zone::ShardState& state = tx.state();
  tx.touch(&tail);
  tx.touch(&state);
  tail.next = state.free_head;
  state.free_head = log.head;
}

// Empties `slot` for a new state, counting why its old one went.
void drop_state(ShardTransaction& tx, Slot& slot, bool reclaimed) {
  release_log(tx, slot);
  zone::ShardState& state = tx.state();
  tx.touch(&state);
  tx.touch(&slot);
  if (reclaimed) {
    state.reclaimed += 1;
  } else {
    state.evictions += 1;
  }
}

// Hands out one free block, evicting the least recently used of a few logs
// when the pool is empty. `own` is the slot being checked, never a victim.
uint32_t allocate_block(ShardTransaction& tx, const Slot& own, uint64_t now) {
  zone::ShardState& state = tx.state();
  const uint32_t blocks = tx.zone().geometry().blocks_per_shard;
  tx.touch(&state);
  if (read_index(state.free_head) == kNoBlock && read_index(state.unused_blocks_from) >= blocks) {
    // Examine up to eight logs from where the last search stopped.
    const uint64_t slots = tx.slot_count();
    uint64_t at = read_index(state.cursor) % slots;
    Slot* victim = nullptr;
    bool victim_reclaimable = false;
    int examined = 0;
    for (uint64_t step = 0; step < slots && examined < 8; ++step, at = (at + 1) % slots) {
      Slot* candidate = tx.slot(at);
      if (candidate == &own || !holds_log(*candidate)) continue;
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

// A sliding window's log in a slot, with the interface the rules expect.
// Blocks emptied from the front are handed back in one splice, so a check
// writes a bounded number of units however many times expire.
class ZoneLog {
 public:
  ZoneLog(ShardTransaction& tx, Slot& slot, uint64_t now)
      : tx_(tx), slot_(slot), log_(state_of<LogState>(slot)), now_(now) {
    checked_size(tx_, log_);
  }

  bool empty() const { return log_.size == 0; }
  uint64_t size() const { return log_.size; }
  uint64_t front() const { return tx_.block(log_.head).times[log_.head_pos]; }
  uint64_t back() const {
    return tx_.block(log_.tail).times[(log_.head_pos + log_.size - 1) % kBlockTimes];
  }

  uint64_t at(uint64_t offset) const {
    uint64_t position = log_.head_pos + offset;
    uint32_t block = log_.head;
    for (; position >= kBlockTimes; position -= kBlockTimes) block = read_index(tx_.block(block).next);
    return tx_.block(block).times[position];
  }

  void push_back(uint64_t time, uint64_t copies) {
    for (uint64_t i = 0; i < copies; ++i) push_back(time);
  }

  void pop_back() {
    if (log_.size == 1) {
      pop_front();
      return;
    }
    --log_.size;
    if ((log_.head_pos + log_.size) % kBlockTimes == 0) {
      // The tail block emptied: the one before it becomes the tail.
      uint32_t block = log_.head;
      while (read_index(tx_.block(block).next) != log_.tail) block = read_index(tx_.block(block).next);
      Block& emptied = tx_.block(log_.tail);
      zone::ShardState& state = tx_.state();
      tx_.touch(&emptied);
      tx_.touch(&state);
      emptied.next = state.free_head;
      state.free_head = log_.tail;
      Block& last = tx_.block(block);
      tx_.touch(&last);
      last.next = kNoBlock;
      log_.tail = block;
    }
  }

  void pop_front() {
    if (log_.size == 1) {
      consume(log_.head, log_.tail);
      log_ = LogState{0, kNoBlock, 0, kNoBlock, 0};
      return;
    }
    --log_.size;
    if (++log_.head_pos == kBlockTimes) {
      const uint32_t next = read_index(tx_.block(log_.head).next);
      consume(log_.head, log_.head);
      log_.head = next;
      log_.head_pos = 0;
    }
  }

  void push_back(uint64_t time) {
    release_consumed();
    if (log_.size == 0) {
      store();  // the slot must hold no stale chain while a block is taken
      const uint32_t block = allocate_block(tx_, slot_, now_);
      log_ = LogState{0, block, 0, block, 0};
    }
    const uint64_t end = log_.head_pos + log_.size;
    if (log_.size != 0 && end % kBlockTimes == 0) {
      store();
      const uint32_t block = allocate_block(tx_, slot_, now_);
      Block& tail = tx_.block(log_.tail);
      tx_.touch(&tail);
      tail.next = block;
      log_.tail = block;
    }
    Block& tail = tx_.block(log_.tail);
    tx_.touch(&tail);
    tail.times[end % kBlockTimes] = time;
    ++log_.size;
  }

  // Writes the log back into its slot and frees what the front gave up.
  void finish() {
    release_consumed();
    store();
  }

 private:
  void store() { store_state(slot_, log_); }

  void consume(uint32_t first, uint32_t last) {
    if (consumed_first_ == kNoBlock) consumed_first_ = first;
    consumed_last_ = last;
  }

  void release_consumed() {
    if (consumed_first_ == kNoBlock) return;
    Block& last = tx_.block(consumed_last_);
    zone::ShardState& state = tx_.state();
    tx_.touch(&last);
    tx_.touch(&state);
    last.next = state.free_head;
    state.free_head = consumed_first_;
    consumed_first_ = consumed_last_ = kNoBlock;
  }

  ShardTransaction& tx_;
  Slot& slot_;
  LogState log_;
  uint64_t now_;
  uint32_t consumed_first_ = kNoBlock;
  uint32_t consumed_last_ = kNoBlock;
};

// A state dated further ahead of the clock than any step back explains.
constexpr uint64_t kFutureSlackMs = 24 * 3600 * 1000;

bool plausible_time(uint64_t time, uint64_t now) { return time - now <= kFutureSlackMs || time <= now; }

// Whether a bucket's limits are ones whose level the rules keep in bounds:
// unusual ones (negative, infinite, NaN) can leave any level, so only the
// time is checked for them.
bool ordinary(double capacity, double rate) {
  return std::isfinite(capacity) && capacity >= 0.0 && std::isfinite(rate) && rate >= 0.0;
}

// Whether the bucket kinds' state in `slot` is one the rules could have left:
// anything else (a level out of bounds or NaN, a time a day ahead) is damage.
// `levels` says whether the limits keep the level in bounds (ordinary()).
bool plausible_state(const Slot& slot, const ZoneConfig& config, bool levels, uint64_t now) {
  switch (static_cast<Kind>(config.kind)) {
    case Kind::TokenBucket: {
      const auto bucket = state_of<token_bucket::Bucket>(slot);
      const bool level_ok =
          !levels || (bucket.tokens >= 0.0 && bucket.tokens <= config.capacity);
      return level_ok && plausible_time(bucket.last_refill, now);
    }
    case Kind::LeakyBucket: {
      const auto bucket = state_of<leaky_bucket::Bucket>(slot);
      const bool level_ok =
          !levels || (bucket.level >= 0.0 && bucket.level <= config.capacity + 1.0);
      return level_ok && plausible_time(bucket.last_leak, now);
    }
    case Kind::FixedWindow:
      return plausible_time(state_of<Window>(slot).window_start, now);
    case Kind::SlidingWindow:
      return true;  // a log is checked as it is walked
  }
  return false;
}

}  // namespace

ZoneLimiter::ZoneLimiter(std::shared_ptr<const zone::ZoneView> zone, const zone::ZoneConfig& config,
                         Clock clock)
    : zone_(std::move(zone)), config_(config), clock_(clock) {
  const zone::ZoneView& view = *zone_;
  if (config.kind == static_cast<uint32_t>(Kind::SlidingWindow) &&
      zone::blocks_needed(config.max_requests) > view.geometry().blocks_per_shard) {
    throw_zone_refusal(view.name(),
                     "too small for a sliding window of " + std::to_string(config.max_requests) +
                         " requests: a shard holds " +
                         std::to_string(uint64_t{view.geometry().blocks_per_shard} * kBlockTimes) +
                         " logged times at most");
  }
  bounded_levels_ = ordinary(config.capacity, config.rate);
  ref_ = view.register_config(config);
  const auto& keys = view.hash_keys();
  const uint64_t salt = (uint64_t{ref_.generation} << 32) | ref_.id;
  first_key_ = SipKey{keys[0] ^ salt, keys[1]};
  second_key_ = SipKey{keys[2] ^ salt, keys[3]};
  shard_shift_ = 64 - static_cast<unsigned>(std::countr_zero(view.geometry().shard_count));
}

ZoneLimiter::ZoneLimiter(ZoneLimiter&& other) noexcept
    : zone_(std::move(other.zone_)),
      config_(other.config_),
      ref_(std::exchange(other.ref_, zone::ConfigRef{})),
      bounded_levels_(other.bounded_levels_),
      first_key_(other.first_key_),
      second_key_(other.second_key_),
      shard_shift_(other.shard_shift_),
      clock_(other.clock_) {
  for (size_t i = 0; i < stuck_.size(); ++i) {
    stuck_[i].store(other.stuck_[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
}

ZoneLimiter::~ZoneLimiter() {
  if (zone_ && ref_.id != 0) zone_->release_config(ref_);
}

AlgorithmResult ZoneLimiter::check(std::string_view key) const {
  return check_at(key, clock_.now_ms());
}

AlgorithmResult ZoneLimiter::check_at(std::string_view key, uint64_t now) const {
  const uint64_t digest = siphash13_text(first_key_, key);
  const uint64_t check = secondary_digest(second_key_, key);
  const zone::ZoneView& zone = *zone_;
  const uint32_t shard = shard_shift_ >= 64 ? 0 : static_cast<uint32_t>(digest >> shard_shift_);
  const uint32_t set_index =
      static_cast<uint32_t>(((digest & 0xFFFFFFFFu) * zone.geometry().sets_per_shard) >> 32);

  std::atomic<uint64_t>& stuck = stuck_[shard];
  const uint64_t stuck_holder = stuck.load(std::memory_order_relaxed);
  if (stuck_holder != 0) [[unlikely]] {
    // Not another wait behind the same stopped holder: one was enough.
    const auto& lock = *reinterpret_cast<const zone::SharedLock*>(zone.shard_base(shard));
    if (zone::holder_of(lock) == stuck_holder && !zone::holder_is_dead(stuck_holder)) {
      throw zone::ShardStuck("zone '" + zone.name() +
                             "': a shard's lock is still held by the process that held it past " +
                             "the timeout (a stopped process?)");
    }
    stuck.store(0, std::memory_order_relaxed);
  }
  std::optional<ShardTransaction> taken;
  try {
    taken.emplace(zone, shard);
  } catch (const zone::LockHeldTooLong& held) {
    stuck.store(held.holder(), std::memory_order_relaxed);
    throw zone::ShardStuck(held.what());
  }
  ShardTransaction& tx = *taken;
  try {
    return decide(tx, set_index, digest, check, now);
  } catch (const zone::ShardDamaged&) {
    // Nothing of the shard can be trusted: it starts empty, and the check
    // runs again there. Damage met again at once is being written right now.
    tx.reset();
  }
  try {
    return decide(tx, set_index, digest, check, now);
  } catch (const zone::ShardDamaged& damage) {
    tx.reset();
    tx.commit();
    throw_zone_error(zone.name(), "damaged again at once: " + std::string(damage.what));
  }
}

AlgorithmResult ZoneLimiter::decide(ShardTransaction& tx, uint32_t set_index, uint64_t digest,
                                    uint64_t check, uint64_t now) const {
  const uint32_t tag = ref_.tag();
  Slot* ways = tx.set(set_index);
  Slot* slot = nullptr;
  Slot* empty = nullptr;
  for (uint32_t way = 0; way < kWays; ++way) {
    Slot& candidate = ways[way];
    const uint32_t id = read_index(candidate.config);
    if (id == ref_.id && candidate.digest == digest && candidate.check == check &&
        read_index(candidate.config_tag) == tag) {
      slot = &candidate;
      break;
    }
    if (id == 0 && empty == nullptr) empty = &candidate;
  }
  bool inserted = false;
  if (slot != nullptr && !plausible_state(*slot, config_, bounded_levels_, now)) {
    // This client's state alone is bad: it starts fresh in its own way.
    tx.touch(&tx.state());
    tx.state().repairs += 1;
    inserted = true;
  } else if (slot == nullptr) {
    inserted = true;
    if (empty != nullptr) {
      slot = empty;
      zone::ShardState& state = tx.state();
      tx.touch(&state);
      state.keys += 1;
    } else {
      // A full set: a state a fresh one would answer identically goes first,
      // else the one used least recently.
      Slot* victim = nullptr;
      bool reclaimable = false;
      for (uint32_t way = 0; way < kWays && !reclaimable; ++way) {
        if (is_fresh_equivalent(tx, ways[way], now)) {
          victim = &ways[way];
          reclaimable = true;
        } else if (victim == nullptr || ways[way].last_used < victim->last_used) {
          victim = &ways[way];
        }
      }
      slot = victim;
      drop_state(tx, *slot, reclaimable);
    }
  }
  tx.touch(slot);
  if (inserted) {
    slot->digest = digest;
    slot->check = check;
    slot->config = ref_.id;
    slot->config_tag = tag;
    std::memset(slot->state, 0, sizeof slot->state);
    switch (static_cast<Kind>(config_.kind)) {
      case Kind::TokenBucket:
        store_state(*slot, token_bucket::fresh(config_.capacity, now));
        break;
      case Kind::LeakyBucket:
        store_state(*slot, leaky_bucket::fresh(now));
        break;
      case Kind::FixedWindow:
        store_state(*slot, fixed_window::fresh(now));
        break;
      case Kind::SlidingWindow:
        store_state(*slot, LogState{0, kNoBlock, 0, kNoBlock, 0});
        break;
    }
  }
  slot->last_used = recency_stamp(now);

  AlgorithmResult result;
  switch (static_cast<Kind>(config_.kind)) {
    case Kind::TokenBucket: {
      auto bucket = state_of<token_bucket::Bucket>(*slot);
      result = token_bucket::decide(bucket, now, config_.capacity, config_.rate);
      store_state(*slot, bucket);
      break;
    }
    case Kind::LeakyBucket: {
      auto bucket = state_of<leaky_bucket::Bucket>(*slot);
      result = leaky_bucket::decide(bucket, now, config_.capacity, config_.rate);
      store_state(*slot, bucket);
      break;
    }
    case Kind::FixedWindow: {
      auto window = state_of<Window>(*slot);
      result = fixed_window::decide(window, now, config_.window_ms, config_.max_requests);
      store_state(*slot, window);
      break;
    }
    case Kind::SlidingWindow: {
      ZoneLog log(tx, *slot, now);
      result = sliding_window::decide(log, now, config_.window_ms, config_.max_requests);
      log.finish();
      break;
    }
  }
  if (zone::inside_critical_section_hook != nullptr) zone::inside_critical_section_hook();
  tx.commit();
  return result;
}

}  // namespace vorn
