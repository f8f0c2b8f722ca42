#include "zone/zone_limiter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "algorithms/fixed_window.h"
#include "algorithms/leaky_bucket.h"
#include "algorithms/numeric.h"
#include "algorithms/rate.h"
#include "algorithms/rate_decision.h"
#include "algorithms/sliding_window.h"
#include "algorithms/token_bucket.h"
#include "zone/shard_slots.h"
#include "zone/shard_transaction.h"
#include "zone/zone_error.h"
#include "zone/zone_log.h"

namespace vorn {
namespace {

using zone::HeldSlots;
using zone::kBlockRuns;
using zone::Kind;
using zone::kMaxZoneRates;
using zone::kWays;
using zone::ShardTransaction;
using zone::Slot;
using zone::state_of;
using zone::store_state;
using zone::ZoneConfig;
using zone::ZoneLog;

static_assert(kMaxZoneRates == kMaxRates);

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
[[gnu::always_inline]] inline uint64_t secondary_digest(const SipKey& key, std::string_view text) {
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
[[gnu::always_inline]] inline bool plausible_state(const Slot& slot, const ZoneConfig& config,
                                                   bool levels, uint64_t now) {
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

void store_fresh(Slot& slot, const ZoneConfig& config, uint64_t now) {
  std::memset(slot.state, 0, sizeof slot.state);
  switch (static_cast<Kind>(config.kind)) {
    case Kind::TokenBucket:
      store_state(slot, token_bucket::fresh(config.capacity, now));
      break;
    case Kind::LeakyBucket:
      store_state(slot, leaky_bucket::fresh(now));
      break;
    case Kind::FixedWindow:
      store_state(slot, fixed_window::fresh(now));
      break;
    case Kind::SlidingWindow:
      store_state(slot, zone::kEmptyLog);
      break;
  }
}

// The kinds whose whole state sits in the slot, by the limiters' own rules.
struct TokenSlot {
  using State = token_bucket::Bucket;
  static AlgorithmResult decide(State& s, uint64_t now, const ZoneConfig& c, Cost cost) {
    return token_bucket::decide(s, now, c.capacity, c.rate, cost);
  }
  static void refund(State& s, uint64_t now, const ZoneConfig& c, double amount) {
    token_bucket::refund(s, now, c.capacity, c.rate, amount);
  }
};

struct LeakySlot {
  using State = leaky_bucket::Bucket;
  static AlgorithmResult decide(State& s, uint64_t now, const ZoneConfig& c, Cost cost) {
    return leaky_bucket::decide(s, now, c.capacity, c.rate, cost);
  }
  static void refund(State& s, uint64_t now, const ZoneConfig& c, double amount) {
    leaky_bucket::refund(s, now, c.rate, amount);
  }
};

struct FixedSlot {
  using State = Window;
  static AlgorithmResult decide(State& s, uint64_t now, const ZoneConfig& c, Cost cost) {
    return fixed_window::decide(s, now, c.window_ms, c.max_requests, cost);
  }
  static void refund(State& s, uint64_t now, const ZoneConfig& c, double amount) {
    fixed_window::refund(s, now, c.window_ms, to_u64_saturating(amount));
  }
};

// Decides one request over the state in `slot` (touched).
template <typename Rules>
AlgorithmResult decide_state(Slot& slot, const ZoneConfig& config, uint64_t now, Cost cost) {
  auto state = state_of<typename Rules::State>(slot);
  AlgorithmResult result = Rules::decide(state, now, config, cost);
  store_state(slot, state);
  return result;
}

// Decides one request over the states in `slots` (touched) as one decision,
// by the same steps as the in-process limits.
template <typename Rules>
AlgorithmResult decide_states(Slot* const* slots, const ZoneConfig* configs, size_t count,
                              uint64_t now, Cost cost) {
  std::array<typename Rules::State, kMaxZoneRates> states;
  for (size_t i = 0; i < count; ++i) states[i] = state_of<typename Rules::State>(*slots[i]);
  AlgorithmResult result = decide_rates<Rules>(states, configs, count, now, cost);
  for (size_t i = 0; i < count; ++i) store_state(*slots[i], states[i]);
  return result;
}

[[gnu::flatten]] AlgorithmResult decide_log(ShardTransaction& tx, Slot& slot, const ZoneConfig& config,
                           uint64_t now, Cost cost) {
  Slot* const held[] = {&slot};
  ZoneLog log(tx, slot, config.max_requests, held, now);
  AlgorithmResult result = sliding_window::decide(log, now, config.window_ms, config.max_requests, cost);
  log.finish();
  return result;
}

// A log's request is asked first whether it fits every rate, which counts
// nothing, and decided with its cost only when all say yes (rate_decision.h's
// steps for states that are not copied).
AlgorithmResult decide_logs(ShardTransaction& tx, Slot* const* slots, const ZoneConfig* configs,
                            size_t count, uint64_t now, Cost cost) {
  const HeldSlots held(slots, count);
  const auto decide = [&](ZoneLog& log, size_t i, Cost weighed) {
    return sliding_window::decide(log, now, configs[i].window_ms, configs[i].max_requests, weighed);
  };
  std::array<std::optional<ZoneLog>, kMaxZoneRates> logs;
  std::array<AlgorithmResult, kMaxZoneRates> results{};
  const Cost look{cost.need, 0.0};
  bool all_fit = true;
  for (size_t i = 0; i < count; ++i) {
    logs[i].emplace(tx, *slots[i], configs[i].max_requests, held, now);
    results[i] = decide(*logs[i], i, look);
    all_fit = all_fit && results[i].allowed;
  }
  if (all_fit && cost.take > 0.0) {
    for (size_t i = 0; i < count; ++i) results[i] = decide(*logs[i], i, cost);
  }
  for (size_t i = 0; i < count; ++i) logs[i]->finish();
  return combine_rates(std::span<AlgorithmResult>(results.data(), count));
}

template <typename Rules>
void refund_state(Slot& slot, uint64_t now, const ZoneConfig& config, double amount) {
  auto state = state_of<typename Rules::State>(slot);
  Rules::refund(state, now, config, amount);
  store_state(slot, state);
}

// sliding_window::refund's steps, with the newest requests dropped in one walk.
void refund_log(ShardTransaction& tx, Slot& slot, const ZoneConfig& config, HeldSlots held,
                uint64_t now, double amount) {
  ZoneLog log(tx, slot, config.max_requests, held, now);
  const uint64_t cutoff = saturating_sub(now, config.window_ms);
  while (!log.empty() && log.front() < cutoff) log.pop_front();
  log.drop_newest(to_u64_saturating(amount));
  log.finish();
}

uint32_t set_of(const ShardTransaction& tx, uint64_t digest) {
  return static_cast<uint32_t>(((digest & 0xFFFFFFFFu) * tx.zone().geometry().sets_per_shard) >> 32);
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
    throw_zone_refusal(view.name(), "holds limits of 1 to " + std::to_string(kMaxZoneRates) +
                                        " rates");
  }
  count_ = configs.size();
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
    if (too_long || blocks > view.geometry().blocks_per_shard) {
      const std::string windows = count_ == 1 ? "a sliding window of " : "the sliding windows of ";
      throw_zone_refusal(view.name(),
                         "too small for " + windows + sizes_text(configs_.data(), count_) +
                             " requests: a shard holds " +
                             std::to_string(uint64_t{view.geometry().blocks_per_shard} * kBlockRuns) +
                             " logged times at most");
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
      configs_(other.configs_),
      refs_(std::exchange(other.refs_, {})),
      bounded_levels_(other.bounded_levels_),
      first_key_(other.first_key_),
      second_key_(other.second_key_),
      count_(std::exchange(other.count_, 0)),
      shard_shift_(other.shard_shift_),
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
[[gnu::always_inline]] inline auto ZoneLimiter::in_shard(const KeyDigest& digest, Body&& body) const {
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
