#include "zone/zone_connection.h"

#include <cmath>
#include <span>
#include <utility>

#include "algorithms/algorithm.h"
#include "algorithms/numeric.h"
#include "core/fork_guard.h"
#include "zone/zone_error.h"
#include "zone/zone_limiter.h"
#include "zone/zone_meter.h"

namespace vorn {
namespace {

// How often a healthy connection checks that its zone still has its name, and
// a degraded one tries the zone again.
constexpr uint64_t kProbeIntervalMs = 1000;

constexpr std::string_view kUnavailable = "zone unavailable";

std::string_view algorithm_name(const zone::ZoneConfig& config) {
  switch (static_cast<zone::Kind>(config.kind)) {
    case zone::Kind::SlidingWindow:
      return "sliding_window";
    case zone::Kind::FixedWindow:
      return "fixed_window";
    case zone::Kind::LeakyBucket:
      return "leaky_bucket";
    case zone::Kind::TokenBucket:
      break;
  }
  return "token_bucket";
}

// The rate a configuration of a limit of several rates was made from. A
// bucket's refill is count * 1000 / window_ms of a whole window, which its
// capacity and refill give back exactly; a bucket that never refills has the
// same parameters for any window.
Rate rate_of(const zone::ZoneConfig& config) {
  const auto kind = static_cast<zone::Kind>(config.kind);
  if (kind == zone::Kind::SlidingWindow || kind == zone::Kind::FixedWindow) {
    return Rate{static_cast<double>(config.max_requests), config.window_ms};
  }
  if (!(config.rate > 0.0) || !(config.capacity > 0.0)) return Rate{config.capacity, 1};
  return Rate{config.capacity,
              to_u64_saturating(std::round(config.capacity * 1000.0 / config.rate))};
}

// The in-process limiter of the same limit, for the "local" policy.
Algorithm local_limiter(const std::vector<zone::ZoneConfig>& configs, Clock clock) {
  const zone::ZoneConfig& config = configs.front();
  if (configs.size() > 1) {
    std::vector<Rate> rates;
    for (const zone::ZoneConfig& each : configs) rates.push_back(rate_of(each));
    return Algorithm::from_rates(algorithm_name(config), rates, clock);
  }
  switch (static_cast<zone::Kind>(config.kind)) {
    case zone::Kind::SlidingWindow:
      return Algorithm(SlidingWindow(config.window_ms, config.max_requests, clock));
    case zone::Kind::FixedWindow:
      return Algorithm(FixedWindow(config.window_ms, config.max_requests, clock));
    case zone::Kind::LeakyBucket:
      return Algorithm(LeakyBucket(config.capacity, config.rate, clock));
    case zone::Kind::TokenBucket:
      break;
  }
  return Algorithm(TokenBucket(config.capacity, config.rate, clock));
}

std::string_view fallback_words(FailurePolicy policy) {
  switch (policy) {
    case FailurePolicy::Allow:
      return "by allowing every request";
    case FailurePolicy::Deny:
      return "by refusing every request";
    case FailurePolicy::Local:
      break;
  }
  return "from the in-process engine";
}

}  // namespace

std::optional<FailurePolicy> failure_policy_from_name(std::string_view name) {
  if (name == "local") return FailurePolicy::Local;
  if (name == "allow") return FailurePolicy::Allow;
  if (name == "deny") return FailurePolicy::Deny;
  return std::nullopt;
}

std::string_view failure_policy_name(FailurePolicy policy) {
  switch (policy) {
    case FailurePolicy::Allow:
      return "allow";
    case FailurePolicy::Deny:
      return "deny";
    case FailurePolicy::Local:
      break;
  }
  return "local";
}

struct ZoneConnection::State {
  State(const ZonePlacement& placement, std::vector<zone::ZoneConfig> configs, Clock clock)
      : placement(placement), configs(std::move(configs)), clock(clock) {}

  // Attaches (or creates, or replaces) the zone and registers the
  // configuration. Throws ZoneError.
  void attach();
  // Switches to the policy, leaving one notice; a no-op when already there.
  void fail(std::string reason);
  // Whether a probe is due at `now` (a clock that stepped back counts).
  bool probe_due(uint64_t now);
  // Checks that the zone still has its name; follows it when not.
  void follow_name();
  // Once a second: follow_name() while on the zone, else try it again.
  [[gnu::noinline]] void probe();
  AlgorithmResult answer_by_policy(std::string_view key, Cost cost);
  // Runs `op` on the zone's limiter: false when the zone could not take it
  // (none attached, the key's shard stuck, a failure met), which is handled.
  template <typename Op>
  bool on_zone(Op&& op);
  void notice(std::string line);
  void set_reason(std::string reason);

  const ZonePlacement placement;
  const std::vector<zone::ZoneConfig> configs;
  const Clock clock;

  // Touched only by the check, under the caller's exclusion.
  std::shared_ptr<const zone::ZoneMapping> mapping;
  std::optional<ZoneLimiter> limiter;
  std::optional<Algorithm> fallback;
  ZoneMeter meter;
  uint64_t last_probe_ms = 0;
  bool stuck_told = false;  // a stuck shard was logged since the last attach

  std::atomic<bool> degraded{false};
  std::atomic<bool> pending{false};
  // notices_mutex protects the following state.
  mutable ForkSafeMutex notices_mutex{LockLevel::Leaf};
  std::vector<std::string> notices;
  std::string reason;
};

void ZoneConnection::State::attach() {
  zone::OpenedZone opened =
      zone::open_zone(placement.name, placement.size_bytes, placement.directory);
  const zone::ZoneView* view = &opened.mapping->view();
  // The view lives inside the mapping: holding it holds the mapping.
  ZoneLimiter fresh(std::shared_ptr<const zone::ZoneView>(opened.mapping, view),
                    std::span<const zone::ZoneConfig>(configs), clock);
  limiter.reset();
  limiter.emplace(std::move(fresh));
  mapping = std::move(opened.mapping);
  meter.follow(mapping);
  stuck_told = false;
  if (!opened.replaced.empty()) {
    notice("vorn: zone '" + placement.name + "' at " + mapping->path() + " could not be used (" +
           opened.replaced + ") and was replaced by a fresh one; its clients start fresh");
  }
}

void ZoneConnection::State::fail(std::string why) {
  limiter.reset();
  mapping.reset();
  // Its record stays this process's until it is gone: giving it up would
  // wait for the lock of a zone that is failing.
  meter.abandon();
  if (degraded.exchange(true, std::memory_order_relaxed)) return;
  notice("vorn: zone '" + placement.name + "' cannot be used (" + why + "); answering " +
         std::string(fallback_words(placement.on_error)) + " until it can");
  set_reason(std::move(why));
}

bool ZoneConnection::State::probe_due(uint64_t now) {
  // One comparison: a clock that stepped back wraps the difference round.
  if (now - last_probe_ms < kProbeIntervalMs) return false;
  last_probe_ms = now;
  return true;
}

void ZoneConnection::State::follow_name() {
  if (mapping->broken(true)) {
    fail("its file was truncated");
    return;
  }
  if (mapping->still_named()) return;
  try {
    attach();
    notice("vorn: zone '" + placement.name +
           "' was removed or replaced; checks follow its name to " + mapping->path());
  } catch (const ZoneError& error) {
    fail(zone_problem(error, placement.name));
  }
}

AlgorithmResult ZoneConnection::State::answer_by_policy(std::string_view key, Cost cost) {
  AlgorithmResult result;
  switch (placement.on_error) {
    case FailurePolicy::Local:
      if (!fallback) fallback.emplace(local_limiter(configs, clock));
      return fallback->check(key, cost);
    case FailurePolicy::Allow:
      result.allowed = true;
      result.reason = LimitReason::WithinLimit;
      result.next_admission_ms = 0;
      break;
    case FailurePolicy::Deny:
      result.allowed = false;
      result.reason = LimitReason::LimitExceeded;
      result.remaining = 0;
      break;
  }
  result.message = LimitMessage::fixed(kUnavailable);
  return result;
}

template <typename Op>
bool ZoneConnection::State::on_zone(Op&& op) {
  if (!limiter) return false;
  try {
    op(*limiter);
    if (!mapping->broken()) return true;
    fail("its file was truncated under a check");
  } catch (const zone::ShardStuck& error) {
    // Only this key's shard: the others stay on the zone.
    if (!stuck_told) {
      stuck_told = true;
      notice("vorn: " + std::string(error.what()) + "; its clients are answered " +
             std::string(fallback_words(placement.on_error)) + " while it is held");
    }
  } catch (const ZoneError& error) {
    fail(zone_problem(error, placement.name));
  }
  return false;
}

void ZoneConnection::State::notice(std::string line) {
  std::lock_guard lock(notices_mutex);
  // A host that never looks must not make this grow without bound.
  if (notices.size() < 64) notices.push_back(std::move(line));
  pending.store(true, std::memory_order_release);
}

void ZoneConnection::State::set_reason(std::string why) {
  std::lock_guard lock(notices_mutex);
  reason = std::move(why);
}

ZoneConnection::ZoneConnection(const ZonePlacement& placement, const zone::ZoneConfig& config,
                               Clock clock)
    : ZoneConnection(placement, std::vector<zone::ZoneConfig>{config}, clock) {}

ZoneConnection::ZoneConnection(const ZonePlacement& placement,
                               std::vector<zone::ZoneConfig> configs, Clock clock) {
  zone::validate_zone_name(placement.name);
  if (configs.empty() || configs.size() > zone::kMaxZoneRates) {
    throw_zone_refusal(placement.name,
                       "holds limits of 1 to " + std::to_string(zone::kMaxZoneRates) + " rates");
  }
  for (const zone::ZoneConfig& config : configs) {
    if (config.kind != configs.front().kind || config.kind > 3) {
      throw_zone_refusal(placement.name, "holds limits of one algorithm");
    }
  }
  state_ = std::make_unique<State>(placement, std::move(configs), clock);
  // A directory the caller names must be right now; the default place may
  // come right later.
  if (placement.directory) zone::zone_directory(placement.directory);
  try {
    state_->attach();
  } catch (const zone::ZoneRefusal&) {
    throw;
  } catch (const ZoneError& error) {
    state_->fail(zone_problem(error, placement.name));
  }
  state_->last_probe_ms = clock.now_ms();
}

ZoneConnection::ZoneConnection(ZoneConnection&&) noexcept = default;
ZoneConnection& ZoneConnection::operator=(ZoneConnection&&) noexcept = default;
ZoneConnection::~ZoneConnection() = default;

void ZoneConnection::State::probe() {
  if (limiter) {
    follow_name();
    return;
  }
  try {
    attach();
    degraded.store(false, std::memory_order_relaxed);
    set_reason({});
    notice("vorn: zone '" + placement.name + "' can be used again; checks go back to it");
  } catch (const ZoneError& error) {
    set_reason(zone_problem(error, placement.name));
  }
}

AlgorithmResult ZoneConnection::check(std::string_view key, Cost cost) const {
  State& state = *state_;
  const uint64_t now = state.clock.now_ms();
  if (state.probe_due(now)) state.probe();
  // One result object for every way out, built in place.
  AlgorithmResult result;
  if (state.limiter) {
    try {
      result = state.limiter->check_at(key, now, cost);
      if (!state.mapping->broken()) return result;
      state.fail("its file was truncated under a check");
    } catch (const zone::ShardStuck& error) {
      // Only this key's shard: the others stay on the zone.
      if (!state.stuck_told) {
        state.stuck_told = true;
        state.notice("vorn: " + std::string(error.what()) + "; its clients are answered " +
                     std::string(fallback_words(state.placement.on_error)) + " while it is held");
      }
    } catch (const ZoneError& error) {
      state.fail(zone_problem(error, state.placement.name));
    }
  }
  result = state.answer_by_policy(key, cost);
  result.by_policy = true;
  return result;
}

const zone::ZoneConfig& ZoneConnection::config() const { return state_->configs.front(); }
const std::vector<zone::ZoneConfig>& ZoneConnection::configs() const { return state_->configs; }

void ZoneConnection::refund(std::string_view key, double amount) const {
  State& state = *state_;
  const uint64_t now = state.clock.now_ms();
  if (state.probe_due(now)) state.probe();
  if (state.on_zone([&](const ZoneLimiter& zone) { zone.refund_at(key, now, amount); })) return;
  // The key's checks are answered by the policy meanwhile: only the in-process
  // engine of "local" has anything to give back.
  if (state.fallback) state.fallback->refund(key, amount);
}

void ZoneConnection::reset(std::string_view key) const {
  State& state = *state_;
  if (state.probe_due(state.clock.now_ms())) state.probe();
  state.on_zone([&](const ZoneLimiter& zone) { zone.reset(key); });
  // What the in-process engine kept of the key from an earlier outage goes too.
  if (state.fallback) state.fallback->reset(key);
}

const ZonePlacement& ZoneConnection::placement() const { return state_->placement; }

void ZoneConnection::rename_meter(std::string_view name) const { state_->meter.rename(name); }

ZoneMeter* ZoneConnection::meter() const { return &state_->meter; }

bool ZoneConnection::degraded() const { return state_->degraded.load(std::memory_order_relaxed); }

std::string ZoneConnection::degraded_reason() const {
  std::lock_guard lock(state_->notices_mutex);
  return state_->reason;
}

bool ZoneConnection::has_notices() const { return state_->pending.load(std::memory_order_relaxed); }

std::vector<std::string> ZoneConnection::take_notices() const {
  std::lock_guard lock(state_->notices_mutex);
  state_->pending.store(false, std::memory_order_relaxed);
  return std::exchange(state_->notices, {});
}

std::optional<zone::ZoneStats> ZoneConnection::stats() const {
  // The mapping is swapped by checks, which this may race: the counters are
  // read through an attachment of the name instead (the same mapping, from
  // the registry, when nothing has changed).
  if (degraded()) return std::nullopt;
  try {
    return zone::zone_stats(state_->placement.name, state_->placement.directory);
  } catch (const ZoneError&) {
    return std::nullopt;
  }
}

}  // namespace vorn
