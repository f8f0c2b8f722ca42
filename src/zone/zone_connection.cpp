#include "zone/zone_connection.h"

#include <utility>
#include <variant>

#include "algorithms/fixed_window.h"
#include "algorithms/leaky_bucket.h"
#include "algorithms/sliding_window.h"
#include "algorithms/token_bucket.h"
#include "core/fork_guard.h"
#include "zone/zone_error.h"
#include "zone/zone_limiter.h"

namespace vorn {
namespace {

using LocalLimiter = std::variant<TokenBucket, SlidingWindow, FixedWindow, LeakyBucket>;

// How often a healthy connection checks that its zone still has its name, and
// a degraded one tries the zone again.
constexpr uint64_t kProbeIntervalMs = 1000;

constexpr std::string_view kUnavailable = "zone unavailable";

LocalLimiter local_limiter(const zone::ZoneConfig& config, Clock clock) {
  switch (static_cast<zone::Kind>(config.kind)) {
    case zone::Kind::SlidingWindow:
      return SlidingWindow(config.window_ms, config.max_requests, clock);
    case zone::Kind::FixedWindow:
      return FixedWindow(config.window_ms, config.max_requests, clock);
    case zone::Kind::LeakyBucket:
      return LeakyBucket(config.capacity, config.rate, clock);
    case zone::Kind::TokenBucket:
      break;
  }
  return TokenBucket(config.capacity, config.rate, clock);
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
  State(const ZonePlacement& placement, const zone::ZoneConfig& config, Clock clock)
      : placement(placement), config(config), clock(clock) {}

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
  AlgorithmResult answer_by_policy(std::string_view key);
  void notice(std::string line);
  void set_reason(std::string reason);

  const ZonePlacement placement;
  const zone::ZoneConfig config;
  const Clock clock;

  // Touched only by the check, under the caller's exclusion.
  std::shared_ptr<const zone::ZoneMapping> mapping;
  std::optional<ZoneLimiter> limiter;
  std::optional<LocalLimiter> fallback;
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
  zone::OpenedZone opened = zone::open_zone(placement.name, placement.size_bytes,
                                            placement.directory);
  const zone::ZoneView* view = &opened.mapping->view();
  // The view lives inside the mapping: holding it holds the mapping.
  ZoneLimiter fresh(std::shared_ptr<const zone::ZoneView>(opened.mapping, view), config, clock);
  limiter.reset();
  limiter.emplace(std::move(fresh));
  mapping = std::move(opened.mapping);
  stuck_told = false;
  if (!opened.replaced.empty()) {
    notice("vorn: zone '" + placement.name + "' at " + mapping->path() + " could not be used (" +
           opened.replaced + ") and was replaced by a fresh one; its clients start fresh");
  }
}

void ZoneConnection::State::fail(std::string why) {
  limiter.reset();
  mapping.reset();
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
    notice("vorn: zone '" + placement.name + "' was removed or replaced; checks follow its name to " +
           mapping->path());
  } catch (const ZoneError& error) {
    fail(zone_problem(error, placement.name));
  }
}

AlgorithmResult ZoneConnection::State::answer_by_policy(std::string_view key) {
  AlgorithmResult result;
  switch (placement.on_error) {
    case FailurePolicy::Local:
      if (!fallback) fallback.emplace(local_limiter(config, clock));
      return std::visit([key](const auto& local) { return local.check(key); }, *fallback);
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
    : state_(std::make_unique<State>(placement, config, clock)), configs_{config} {
  zone::validate_zone_name(placement.name);
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

ZoneConnection::ZoneConnection(const ZonePlacement& placement,
                               std::vector<zone::ZoneConfig> configs, Clock clock)
    : ZoneConnection(placement, configs.at(0), clock) {
  if (configs.size() != 1) throw_zone_refusal(placement.name, "holds limits of one rate only");
  configs_ = std::move(configs);
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

AlgorithmResult ZoneConnection::check(std::string_view key) const {
  State& state = *state_;
  const uint64_t now = state.clock.now_ms();
  if (state.probe_due(now)) state.probe();
  // One result object for every way out, built in place.
  AlgorithmResult result;
  if (state.limiter) {
    try {
      result = state.limiter->check_at(key, now);
      if (!state.mapping->broken()) return result;
      state.fail("its file was truncated under a check");
    } catch (const zone::ShardStuck& error) {
      // Only this key's shard: the others stay on the zone.
      if (!state.stuck_told) {
        state.stuck_told = true;
        state.notice("vorn: " + std::string(error.what()) + "; its clients are answered " +
                     std::string(fallback_words(state.placement.on_error)) +
                     " while it is held");
      }
    } catch (const ZoneError& error) {
      state.fail(zone_problem(error, state.placement.name));
    }
  }
  result = state.answer_by_policy(key);
  return result;
}

const zone::ZoneConfig& ZoneConnection::config() const { return state_->config; }
const std::vector<zone::ZoneConfig>& ZoneConnection::configs() const { return configs_; }

AlgorithmResult ZoneConnection::check(std::string_view key, Cost cost) const {
  if (!cost.is_unit()) throw_zone_refusal(state_->placement.name, "weighs every request 1");
  return check(key);
}

void ZoneConnection::refund(std::string_view, double) const {}
void ZoneConnection::reset(std::string_view) const {}
const ZonePlacement& ZoneConnection::placement() const { return state_->placement; }

bool ZoneConnection::degraded() const { return state_->degraded.load(std::memory_order_relaxed); }

std::string ZoneConnection::degraded_reason() const {
  std::lock_guard lock(state_->notices_mutex);
  return state_->reason;
}

bool ZoneConnection::has_notices() const {
  return state_->pending.load(std::memory_order_relaxed);
}

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
