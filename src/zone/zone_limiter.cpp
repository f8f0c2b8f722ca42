#include "zone/zone_limiter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "algorithms/rate.h"
#include "zone/shard_slots.h"
#include "zone/shard_transaction.h"
#include "zone/slot_decisions.h"
#include "zone/zone_error.h"

namespace vorn {
namespace {

using zone::decide_log;
using zone::decide_logs;
using zone::decide_state;
using zone::decide_states;
using zone::FixedSlot;
using zone::HeldSlots;
using zone::kBlockRuns;
using zone::Kind;
using zone::kMaxZoneRates;
using zone::kWays;
using zone::LeakySlot;
using zone::ordinary;
using zone::plausible_state;
using zone::refund_log;
using zone::refund_state;
using zone::ShardTransaction;
using zone::Slot;
using zone::store_fresh;
using zone::TokenSlot;
using zone::ZoneConfig;

static_assert(kMaxZoneRates == kMaxRates);

// What orders slots by their last use: the check's wall-clock millisecond, and
// below it a count of this thread's checks, which orders the checks of one
// thread within a millisecond (those of different processes there tie). No
// clock reading of its own: the time-stamp counter costs about 25 ns in a VM.
uint64_t recency_stamp(uint64_t now) {
  thread_local uint32_t sequence = 0;
  return (now << zone::kRecencyOrderBits) |
         (++sequence & ((uint32_t{1} << zone::kRecencyOrderBits) - 1));
}

uint32_t set_of(const ShardTransaction& tx, uint64_t digest) {
  return static_cast<uint32_t>(((digest & 0xFFFFFFFFu) * tx.zone().geometry().sets_per_shard) >>
                               32);
}

std::string sizes_text(const ZoneConfig* configs, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) text += i + 1 == count ? " and " : ", ";
    text += std::to_string(configs[i].max_requests);
  }
  return text;
}

}  // namespace

ZoneLimiter::ZoneLimiter(std::shared_ptr<const zone::ZoneView> zone, const zone::ZoneConfig& config,
                         Clock clock)
    : ZoneLimiter(std::move(zone), std::span<const zone::ZoneConfig>(&config, 1), clock) {}

ZoneLimiter::ZoneLimiter(std::shared_ptr<const zone::ZoneView> zone,
                         std::span<const zone::ZoneConfig> configs, Clock clock)
    : zone_(std::move(zone)), clock_(clock) {
  const zone::ZoneView& view = *zone_;
  if (configs.empty() || configs.size() > kMaxZoneRates) {
    throw_zone_refusal(view.name(),
                       "holds limits of 1 to " + std::to_string(kMaxZoneRates) + " rates");
  }
  count_ = static_cast<uint32_t>(configs.size());
  std::copy(configs.begin(), configs.end(), configs_.begin());
  zone::mark_rates(configs_.data(), count_);
  const uint32_t kind = configs_[0].kind;
  for (size_t i = 0; i < count_; ++i) {
    if (configs_[i].kind != kind) throw_zone_refusal(view.name(), "holds limits of one algorithm");
  }
  if (kind == static_cast<uint32_t>(Kind::SlidingWindow)) {
    // Every rate's log of a key lives in one shard, at once.
    uint64_t blocks = 0;
    bool too_long = false;
    for (size_t i = 0; i < count_; ++i) {
      blocks += zone::blocks_needed(configs_[i].max_requests);
      too_long = too_long || configs_[i].max_requests > zone::kMaxRunWeight;
    }
    if (blocks > view.geometry().blocks_per_shard) {
      const std::string windows = count_ == 1 ? "a sliding window of " : "the sliding windows of ";
      throw_zone_refusal(
          view.name(), "too small for " + windows + sizes_text(configs_.data(), count_) +
                           " requests: a shard holds " +
                           std::to_string(uint64_t{view.geometry().blocks_per_shard} * kBlockRuns) +
                           " logged times at most");
    }
    // A request's cost is one run, which counts up to kMaxRunWeight.
    if (too_long) {
      throw_zone_refusal(view.name(), "logs sliding windows of at most " +
                                          std::to_string(zone::kMaxRunWeight) + " requests");
    }
  }
  size_t registered = 0;
  try {
    for (; registered < count_; ++registered) {
      refs_[registered] = view.register_config(configs_[registered]);
    }
  } catch (...) {
    while (registered-- > 0) view.release_config(refs_[registered]);
    throw;
  }
  for (size_t i = 0; i < count_; ++i) {
    bounded_levels_[i] = ordinary(configs_[i].capacity, configs_[i].rate);
  }
  const auto& keys = view.hash_keys();
  const uint64_t salt = (uint64_t{refs_[0].generation} << 32) | refs_[0].id;
  first_key_ = SipKey{keys[0] ^ salt, keys[1]};
  second_key_ = SipKey{keys[2] ^ salt, keys[3]};
  shard_shift_ = 64 - static_cast<unsigned>(std::countr_zero(view.geometry().shard_count));
}

ZoneLimiter::ZoneLimiter(ZoneLimiter&& other) noexcept
    : zone_(std::move(other.zone_)),
      first_key_(other.first_key_),
      second_key_(other.second_key_),
      count_(std::exchange(other.count_, 0)),
      shard_shift_(other.shard_shift_),
      refs_(std::exchange(other.refs_, {})),
      bounded_levels_(other.bounded_levels_),
      configs_(other.configs_),
      clock_(other.clock_) {
  for (size_t i = 0; i < stuck_.size(); ++i) {
    stuck_[i].store(other.stuck_[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
}

ZoneLimiter::~ZoneLimiter() {
  if (!zone_) return;
  for (size_t i = 0; i < count_; ++i) {
    if (refs_[i].id != 0) zone_->release_config(refs_[i]);
  }
}

[[gnu::always_inline]] inline ZoneLimiter::KeyDigest ZoneLimiter::digest_of(
    std::string_view key) const {
  return KeyDigest{siphash13_text(first_key_, key), secondary_digest(second_key_, key)};
}

template <typename Body>
[[gnu::always_inline]] inline auto ZoneLimiter::in_shard(const KeyDigest& digest,
                                                         Body&& body) const {
  const zone::ZoneView& zone = *zone_;
  const uint32_t shard =
      shard_shift_ >= 64 ? 0 : static_cast<uint32_t>(digest.first >> shard_shift_);
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
    return body(tx);
  } catch (const zone::ShardDamaged&) {
    // Nothing of the shard can be trusted: it starts empty, and the check
    // runs again there. Damage met again at once is being written right now.
    tx.reset();
  }
  try {
    return body(tx);
  } catch (const zone::ShardDamaged& damage) {
    tx.reset();
    tx.commit();
    throw_zone_error(zone.name(), "damaged again at once: " + std::string(damage.what));
  }
}

AlgorithmResult ZoneLimiter::check(std::string_view key, Cost cost) const {
  return check_at(key, clock_.now_ms(), cost);
}

AlgorithmResult ZoneLimiter::check_at(std::string_view key, uint64_t now, Cost cost) const {
  const KeyDigest digest = digest_of(key);
  return in_shard(digest, [&](ShardTransaction& tx) { return decide(tx, digest, now, cost); });
}

void ZoneLimiter::refund_at(std::string_view key, uint64_t now, double amount) const {
  const KeyDigest digest = digest_of(key);
  in_shard(digest, [&](ShardTransaction& tx) { refund_in(tx, digest, now, amount); });
}

void ZoneLimiter::reset(std::string_view key) const {
  const KeyDigest digest = digest_of(key);
  in_shard(digest, [&](ShardTransaction& tx) { reset_in(tx, digest); });
}

Slot* ZoneLimiter::find(ShardTransaction& tx, size_t rate, const KeyDigest& digest) const {
  const uint32_t id = refs_[rate].id;
  const uint32_t tag = refs_[rate].tag();
  Slot* ways = tx.set(set_of(tx, digest.first));
  for (uint32_t way = 0; way < kWays; ++way) {
    Slot& candidate = ways[way];
    if (zone::read_index(candidate.config) == id && candidate.digest == digest.first &&
        candidate.check == digest.second && zone::read_index(candidate.config_tag) == tag) {
      return &candidate;
    }
  }
  return nullptr;
}

[[gnu::always_inline]] inline Slot* ZoneLimiter::find_or_insert(ShardTransaction& tx, size_t rate,
                                                                const KeyDigest& key,
                                                                std::span<Slot* const> held,
                                                                uint64_t now) const {
  const uint32_t id = refs_[rate].id;
  const uint32_t tag = refs_[rate].tag();
  const uint64_t digest = key.first;
  const uint64_t check = key.second;
  Slot* ways = tx.set(set_of(tx, digest));
  Slot* slot = nullptr;
  Slot* empty = nullptr;
  for (uint32_t way = 0; way < kWays; ++way) {
    Slot& candidate = ways[way];
    const uint32_t found = zone::read_index(candidate.config);
    if (found == id && candidate.digest == digest && candidate.check == check &&
        zone::read_index(candidate.config_tag) == tag) {
      slot = &candidate;
      break;
    }
    if (found == 0 && empty == nullptr) empty = &candidate;
  }
  bool inserted = false;
  if (slot != nullptr && !plausible_state(*slot, configs_[rate], bounded_levels_[rate], now)) {
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
      // else the one used least recently; never another rate's of this key.
      Slot* victim = nullptr;
      bool reclaimable = false;
      for (uint32_t way = 0; way < kWays && !reclaimable; ++way) {
        Slot* candidate = &ways[way];
        if (zone::is_held(held, candidate)) continue;
        if (zone::is_fresh_equivalent(tx, *candidate, now)) {
          victim = candidate;
          reclaimable = true;
        } else if (victim == nullptr || candidate->last_used < victim->last_used) {
          victim = candidate;
        }
      }
      slot = victim;
      zone::drop_state(tx, *slot, reclaimable);
    }
  }
  tx.touch(slot);
  if (inserted) {
    slot->digest = digest;
    slot->check = check;
    slot->config = id;
    slot->config_tag = tag;
    store_fresh(*slot, configs_[rate], now);
  }
  slot->last_used = recency_stamp(now);
  return slot;
}

AlgorithmResult ZoneLimiter::decide(ShardTransaction& tx, const KeyDigest& digest, uint64_t now,
                                    Cost cost) const {
  AlgorithmResult result;
  if (count_ == 1) [[likely]] {
    Slot& slot = *find_or_insert(tx, 0, digest, {}, now);
    switch (static_cast<Kind>(configs_[0].kind)) {
      case Kind::TokenBucket:
        result = decide_state<TokenSlot>(slot, configs_[0], now, cost);
        break;
      case Kind::LeakyBucket:
        result = decide_state<LeakySlot>(slot, configs_[0], now, cost);
        break;
      case Kind::FixedWindow:
        result = decide_state<FixedSlot>(slot, configs_[0], now, cost);
        break;
      case Kind::SlidingWindow:
        result = decide_log(tx, slot, configs_[0], now, cost);
        break;
    }
    if (zone::inside_critical_section_hook != nullptr) zone::inside_critical_section_hook();
    tx.commit();
    return result;
  }
  std::array<Slot*, kMaxZoneRates> slots{};
  for (size_t i = 0; i < count_; ++i) {
    slots[i] = find_or_insert(tx, i, digest, std::span<Slot* const>(slots.data(), i), now);
  }
  switch (static_cast<Kind>(configs_[0].kind)) {
    case Kind::TokenBucket:
      result = decide_states<TokenSlot>(slots.data(), configs_.data(), count_, now, cost);
      break;
    case Kind::LeakyBucket:
      result = decide_states<LeakySlot>(slots.data(), configs_.data(), count_, now, cost);
      break;
    case Kind::FixedWindow:
      result = decide_states<FixedSlot>(slots.data(), configs_.data(), count_, now, cost);
      break;
    case Kind::SlidingWindow:
      result = decide_logs(tx, slots.data(), configs_.data(), count_, now, cost);
      break;
  }
  if (zone::inside_critical_section_hook != nullptr) zone::inside_critical_section_hook();
  tx.commit();
  return result;
}

void ZoneLimiter::refund_in(ShardTransaction& tx, const KeyDigest& digest, uint64_t now,
                            double amount) const {
  std::array<Slot*, kMaxZoneRates> slots{};
  for (size_t i = 0; i < count_; ++i) slots[i] = find(tx, i, digest);
  const HeldSlots held(slots.data(), count_);
  for (size_t i = 0; i < count_; ++i) {
    Slot* slot = slots[i];
    // A bad state is left for the next check, which starts it fresh.
    if (slot == nullptr || !plausible_state(*slot, configs_[i], bounded_levels_[i], now)) continue;
    tx.touch(slot);
    switch (static_cast<Kind>(configs_[i].kind)) {
      case Kind::TokenBucket:
        refund_state<TokenSlot>(*slot, now, configs_[i], amount);
        break;
      case Kind::LeakyBucket:
        refund_state<LeakySlot>(*slot, now, configs_[i], amount);
        break;
      case Kind::FixedWindow:
        refund_state<FixedSlot>(*slot, now, configs_[i], amount);
        break;
      case Kind::SlidingWindow:
        refund_log(tx, *slot, configs_[i], held, now, amount);
        break;
    }
  }
  if (zone::inside_critical_section_hook != nullptr) zone::inside_critical_section_hook();
  tx.commit();
}

void ZoneLimiter::reset_in(ShardTransaction& tx, const KeyDigest& digest) const {
  for (size_t i = 0; i < count_; ++i) {
    Slot* slot = find(tx, i, digest);
    if (slot == nullptr) continue;
    zone::release_log(tx, *slot);
    zone::ShardState& state = tx.state();
    tx.touch(&state);
    tx.touch(slot);
    slot->config = 0;
    state.keys -= 1;
  }
  if (zone::inside_critical_section_hook != nullptr) zone::inside_critical_section_hook();
  tx.commit();
}

}  // namespace vorn
