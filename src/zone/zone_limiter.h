// A ZoneLimiter runs one of the four limiters with its per-client state in a
// shared-memory zone instead of the process's own store, so that every process
// attached to the zone answers from the same state. The rules are the
// limiters' own (token_bucket::decide and the others); only the store differs.
//
// Each key's state lives in one slot of a set of 16 ways, found by two keyed
// digests of (configuration, key); configurations with different limits never
// share a slot. A new key in a full set takes the way of a state a fresh one
// would answer identically (reclaimed), else the way used least recently
// (evicted): a check never fails because the zone is full. Sliding-window logs
// live in chains of log blocks from the shard's pool; when the pool is empty
// the least recently used log among those examined is evicted.
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
// check() is thread-safe and process-safe: it runs under the key's shard lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
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
  // ZoneError when the table is full, or when a sliding window's
  // max_requests cannot fit a shard's pool.
  ZoneLimiter(std::shared_ptr<const zone::ZoneView> zone, const zone::ZoneConfig& config,
              Clock clock = Clock::system());
  ZoneLimiter(ZoneLimiter&& other) noexcept;
  ZoneLimiter(const ZoneLimiter&) = delete;
  ZoneLimiter& operator=(const ZoneLimiter&) = delete;
  ZoneLimiter& operator=(ZoneLimiter&&) = delete;
  ~ZoneLimiter();

  // Decides one request for `key` at the clock's reading (or `now`) and
  // updates its state in the zone. check() throws FatalError when the clock
  // reads before the epoch; both throw ZoneError when the shard's lock fails
  // or damage comes back at once after a reset; the state is unchanged then.
  AlgorithmResult check(std::string_view key) const;
  AlgorithmResult check_at(std::string_view key, uint64_t now) const;

  const zone::ConfigRef& config_ref() const { return ref_; }
  const zone::ZoneConfig& config() const { return config_; }
  const zone::ZoneView& view() const { return *zone_; }

 private:
  AlgorithmResult decide(zone::ShardTransaction& tx, uint32_t set_index, uint64_t digest,
                         uint64_t check, uint64_t now) const;

  std::shared_ptr<const zone::ZoneView> zone_;
  zone::ZoneConfig config_;
  zone::ConfigRef ref_;
  bool bounded_levels_ = false;  // whether the limits keep a bucket's level in bounds
  // Per shard, the holder that kept its lock past the timeout (0: none): its
  // checks fail at once while that holder keeps it.
  mutable std::array<std::atomic<uint64_t>, zone::kMaxShards> stuck_{};
  SipKey first_key_;
  SipKey second_key_;
  unsigned shard_shift_;
  Clock clock_;
};

}  // namespace vorn
