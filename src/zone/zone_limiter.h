// A ZoneLimiter runs one of the four limiters, for a limit of one to four
// rates, with its per-client state in a shared-memory zone instead of the
// process's own store, so that every process attached to the zone answers
// from the same state. The rules are the limiters' own (token_bucket::decide
// and the others) and a limit of several rates is decided as the in-process
// one is (rate_decision.h); only the store differs.
//
// Each rate of a key keeps its state in one slot of a set of 16 ways, found by
// two keyed digests of (the first rate's configuration, key) and the rate's
// own configuration; configurations with different limits never share a slot.
// All of a key's rates live in the one set those digests pick, so one lock
// covers the whole decision, a refund or a reset (a request is counted by
// every rate or by none) and its slots share a page. A new
// state in a full set takes the way of a state a fresh one would answer
// identically (reclaimed), else the way used least recently (evicted), never
// a way the same check holds: a check never fails because the zone is full.
// Sliding-window logs live in chains of log blocks from the shard's pool (see
// ZoneLog); when the pool is empty the least recently used log among those
// examined is evicted.
//
// When the wall clock steps back the answers are those of the in-process
// store: a state keeps the later time it saw, a fresh one starts from the
// earlier reading.
//
// A shard whose lock a live process keeps past the timeout (one stopped in a
// debugger) fails its checks with ShardStuck, at once after the first wait,
// until that holder lets go.
//
// A shard found damaged (a log that leaves its pool, a journal that cannot be
// one) is reset and the check goes on there; a client whose state alone is
// implausible starts fresh. Both count as repairs.
//
// Every method is thread-safe and process-safe: it runs under the key's shard lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/cost.h"
#include "algorithms/siphash.h"
#include "zone/zone_layout.h"

namespace vorn {
namespace zone {
class ShardTransaction;
}

class ZoneLimiter {
 public:
  // Registers the configuration in the zone, with an attachment of this
  // process that lasts until the limiter goes; `zone` keeps the region
  // attached (a mapping, or any buffer the owner keeps alive). Throws
  // ZoneError when the table is full, or ZoneRefusal when a sliding window's
  // max_requests cannot fit a shard's pool.
  ZoneLimiter(std::shared_ptr<const zone::ZoneView> zone, const zone::ZoneConfig& config,
              Clock clock = Clock::system());
  // A limit of several rates: 1 to kMaxZoneRates configurations of one kind,
  // each registered as a rate of that limit (zone::mark_rates). Throws as
  // above, also when the windows' logs together cannot fit a shard's pool.
  ZoneLimiter(std::shared_ptr<const zone::ZoneView> zone, std::span<const zone::ZoneConfig> configs,
              Clock clock = Clock::system());
  ZoneLimiter(ZoneLimiter&& other) noexcept;
  ZoneLimiter(const ZoneLimiter&) = delete;
  ZoneLimiter& operator=(const ZoneLimiter&) = delete;
  ZoneLimiter& operator=(ZoneLimiter&&) = delete;
  ~ZoneLimiter();

  // Decides one request of `cost` for `key` at the clock's reading (or
  // `now`) and updates its state in the zone. check() throws FatalError when
  // the clock reads before the epoch; every method throws ZoneError when the
  // shard's lock fails or damage comes back at once after a reset, and
  // ShardStuck while a live process keeps the shard; the state is unchanged
  // then.
  AlgorithmResult check(std::string_view key, Cost cost = {}) const;
  AlgorithmResult check_at(std::string_view key, uint64_t now, Cost cost = {}) const;
  // Gives back up to `amount` (a valid cost) of what `key` spent, on every
  // rate that holds a state for it; creates no state.
  void refund_at(std::string_view key, uint64_t now, double amount) const;
  // Forgets `key` in every rate: its slots and log blocks go back to the zone.
  void reset(std::string_view key) const;

  size_t rate_count() const { return count_; }
  const zone::ConfigRef& config_ref(size_t rate = 0) const { return refs_[rate]; }
  // The configuration as registered (marked when there are several rates).
  const zone::ZoneConfig& config(size_t rate = 0) const { return configs_[rate]; }
  const zone::ZoneView& view() const { return *zone_; }

 private:
  // A key's two digests under the first rate's configuration.
  struct KeyDigest {
    uint64_t first;
    uint64_t second;
  };

  KeyDigest digest_of(std::string_view key) const;
  // Runs `body` on the shard of `digest` under its lock, once more on the
  // shard reset when it meets damage.
  template <typename Body>
  auto in_shard(const KeyDigest& digest, Body&& body) const;
  // Rate `rate`'s slot for the key, or nullptr.
  zone::Slot* find(zone::ShardTransaction& tx, size_t rate, const KeyDigest& digest) const;
  // Rate `rate`'s slot, made fresh when the key has none (or an implausible
  // one), never in place of one of `held`; touched and marked used.
  zone::Slot* find_or_insert(zone::ShardTransaction& tx, size_t rate, const KeyDigest& digest,
                             std::span<zone::Slot* const> held, uint64_t now) const;
  AlgorithmResult decide(zone::ShardTransaction& tx, const KeyDigest& digest, uint64_t now,
                         Cost cost) const;
  void refund_in(zone::ShardTransaction& tx, const KeyDigest& digest, uint64_t now,
                 double amount) const;
  void reset_in(zone::ShardTransaction& tx, const KeyDigest& digest) const;

  // What every check reads first, together.
  std::shared_ptr<const zone::ZoneView> zone_;
  SipKey first_key_;  // the first rate's
  SipKey second_key_;
  uint32_t count_ = 0;
  unsigned shard_shift_ = 0;
  // Per rate.
  std::array<zone::ConfigRef, zone::kMaxZoneRates> refs_{};
  std::array<bool, zone::kMaxZoneRates> bounded_levels_{};  // a bucket's level stays in bounds
  std::array<zone::ZoneConfig, zone::kMaxZoneRates> configs_{};
  // Per shard, the holder that kept its lock past the timeout (0: none): its
  // checks fail at once while that holder keeps it.
  mutable std::array<std::atomic<uint64_t>, zone::kMaxShards> stuck_{};
  Clock clock_;
};

}  // namespace vorn
