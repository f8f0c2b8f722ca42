// A ZoneConnection is an engine's hold on a named shared-memory zone that
// outlives whatever happens to the zone. While the zone can be used, every
// check runs there. When it cannot (it cannot be attached or created, a check
// meets it truncated, removed and replaced, stuck behind a stopped process, or
// damaged beyond what a check repairs in place), the connection answers as its
// failure policy says: from an in-process limiter of the same configuration
// ("local"), admitting every request ("allow") or refusing every one
// ("deny"). At most once a second it then tries the zone again, attaching it,
// or creating it afresh when it is gone or beyond repair, and goes back to it
// by itself. A healthy connection also notices, once a second, that its zone's
// name now names another object (removed, replaced) and follows it, so every
// process ends up on the same zone.
//
// Each change of state, and each zone replaced because it was damaged, leaves
// one notice (a complete log line) for the host to log: take_notices().
//
// Thread-safety: check() requires the caller's exclusion (the engine's limiter
// lock serialises it). degraded(), degraded_reason(), has_notices(),
// take_notices() and stats() are thread-safe and may run beside a check.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/cost.h"
#include "zone/zone_layout.h"
#include "zone/zone_mapping.h"
#include "zone/zone_placement.h"

namespace vorn {

class ZoneLimiter;
class ZoneMeter;

class ZoneConnection {
 public:
  // Throws InvalidZoneName for a bad name and ZoneError for a size out of
  // bounds, a zone_dir that is not an owner-only directory, a size that the
  // place the zone lives cannot back, a sliding window too long for the
  // zone, or more distinct configurations alive at once than its table holds.
  // Any other failure leaves the connection degraded, answering by policy.
  ZoneConnection(const ZonePlacement& placement, const zone::ZoneConfig& config, Clock clock);
  // A limit of several rates: one configuration per rate (1 to kMaxZoneRates,
  // of one kind, as Algorithm::zone_config makes them), decided as one for
  // each key; the in-process engine of "local" is a limit of the same rates.
  ZoneConnection(const ZonePlacement& placement, std::vector<zone::ZoneConfig> configs,
                 Clock clock);
  ZoneConnection(ZoneConnection&&) noexcept;
  ZoneConnection& operator=(ZoneConnection&&) noexcept;
  ZoneConnection(const ZoneConnection&) = delete;
  ZoneConnection& operator=(const ZoneConnection&) = delete;
  ~ZoneConnection();

  // Decides one request for `key`. Never throws ZoneError: a zone failure is
  // answered by the policy. Throws FatalError when the clock reads before
  // the epoch. Requires the caller's exclusion.
  AlgorithmResult check(std::string_view key) const { return check(key, Cost{}); }
  AlgorithmResult check(std::string_view key, Cost cost) const;

  // Gives back up to `amount` (a valid cost) of what `key` spent on every
  // rate, in the zone; while the key's checks are answered by the policy, in
  // the in-process engine of "local" (nothing for "allow" and "deny"). A key
  // without state gets none. Never throws ZoneError. Requires the caller's
  // exclusion.
  void refund(std::string_view key, double amount) const;
  // Forgets `key` in every rate, for every process of the zone at once, and
  // in the in-process engine of "local". Never throws ZoneError. Requires the
  // caller's exclusion.
  void reset(std::string_view key) const;

  // The first rate's configuration, and every rate's.
  const zone::ZoneConfig& config() const;
  const std::vector<zone::ZoneConfig>& configs() const;
  const ZonePlacement& placement() const;

  // Whether checks are answered by the policy rather than the zone.
  bool degraded() const;
  // Why the connection is degraded; empty when it is not.
  std::string degraded_reason() const;

  // Whether take_notices() would return anything (one relaxed load).
  bool has_notices() const;
  std::vector<std::string> take_notices() const;

  // The counters of the zone in use, or nullopt while degraded.
  std::optional<zone::ZoneStats> stats() const;

  // This engine's meter in the zone (see ZoneMeter), which counts under the
  // name given last ("default" until then); it lives as long as the
  // connection. Using it, or renaming it, requires the caller's exclusion;
  // rename_meter may wait for the zone's table lock.
  ZoneMeter* meter() const;
  void rename_meter(std::string_view name) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vorn
