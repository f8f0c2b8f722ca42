#include "core/engine.h"

#include "algorithms/numeric.h"
#include "core/count_registry.h"

namespace vorn {
namespace {

Mode mode_from_name(std::string_view mode) {
  if (mode == "disabled") return Mode::Disabled;
  if (mode == "shadow") return Mode::Shadow;
  return Mode::Active;
}

std::optional<std::string> copy_of(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  return std::string(*text);
}

}  // namespace

VornEngine::VornEngine(std::string_view algorithm, std::string_view mode,
                       std::optional<std::string> api_key, double capacity, double refill_rate,
                       double burst_multiplier, std::optional<std::string> debug,
                       RateLimitOptions limits, uint64_t block_duration_ms, std::string backend_url,
                       Clock clock, Reclaiming reclaiming)
    : VornEngine(Algorithm::from_name(algorithm, capacity, refill_rate, clock, reclaiming),
                 algorithm, mode, std::move(api_key), burst_multiplier, std::move(debug), limits,
                 block_duration_ms, std::move(backend_url), clock) {}

VornEngine::VornEngine(const ZonePlacement& zone, std::string_view algorithm, std::string_view mode,
                       std::optional<std::string> api_key, double capacity, double refill_rate,
                       double burst_multiplier, std::optional<std::string> debug,
                       RateLimitOptions limits, uint64_t block_duration_ms, std::string backend_url,
                       Clock clock)
    : VornEngine(
          Algorithm::in_zone(algorithm, capacity, refill_rate, zone, clock),
          algorithm, mode, std::move(api_key), burst_multiplier, std::move(debug), limits,
          block_duration_ms, std::move(backend_url), clock) {}

VornEngine::VornEngine(std::string_view algorithm, std::string_view mode,
                       std::optional<std::string> api_key, const std::vector<Rate>& rates,
                       double burst_multiplier, std::optional<std::string> debug,
                       RateLimitOptions limits, uint64_t block_duration_ms, std::string backend_url,
                       const ZonePlacement* zone, Clock clock, Reclaiming reclaiming)
    : VornEngine(zone != nullptr ? Algorithm::in_zone(algorithm, rates, *zone, clock)
                                 : Algorithm::from_rates(algorithm, rates, clock, reclaiming),
                 algorithm, mode, std::move(api_key), burst_multiplier, std::move(debug), limits,
                 block_duration_ms, std::move(backend_url), clock) {}

VornEngine::VornEngine(std::string_view algorithm, std::string_view mode,
                       std::optional<std::string> api_key, const std::vector<Rate>& rates,
                       double burst_multiplier, std::optional<std::string> debug,
                       RateLimitOptions limits, uint64_t block_duration_ms, std::string backend_url,
                       SyncSettings sync, Clock clock)
    : VornEngine(Algorithm::synced(algorithm, rates, sync, clock), algorithm, mode,
                 std::move(api_key), burst_multiplier, std::move(debug), limits,
                 block_duration_ms, std::move(backend_url), clock) {}

VornEngine::VornEngine(Algorithm limiter, std::string_view algorithm, std::string_view mode,
                       std::optional<std::string> api_key, double burst_multiplier,
                       std::optional<std::string> debug, RateLimitOptions limits,
                       uint64_t block_duration_ms, std::string backend_url, Clock clock)
    : limiter_(std::move(limiter)),
      policy_(limiter_.with_lock([](const Algorithm& held) { return held.policy(); })),
      algorithm_name_(algorithm),
      telemetry_(std::move(backend_url), api_key.has_value()),
      api_key_(std::move(api_key)),
      debug_(std::move(debug)),
      mode_(mode_from_name(mode)),
      limits_(limits),
      burst_multiplier_(burst_multiplier),
      block_duration_ms_(block_duration_ms),
      clock_(clock) {
  limiter_.with_lock([this](const Algorithm& held) {
    zone_ = held.zone_connection();
    sync_ = held.sync_store();
    zone_meter_ = zone_ != nullptr ? zone_->meter() : nullptr;
    policies_ = held.policies();
    whole_costs_ = held.whole_costs();
    unlocked_checks_ = held.safe_without_caller_lock();
    counting_store_ = unlocked_checks_ ? &held : nullptr;
  });
  count_as_ = CountAs{.counts = true,
                      .refused = mode_ == Mode::Shadow ? CheckOutcomeKind::ShadowRefused
                                                       : CheckOutcomeKind::Refused};
  CountedStore store;
  if (zone_ != nullptr) {
    store.zone = zone_->placement().name;
    store.zone_dir = zone_->placement().directory;
  }
  CountRegistry::process().enter(this, std::move(store));
}

VornEngine::~VornEngine() { CountRegistry::process().leave(this); }

void VornEngine::refund(std::string_view key, double amount) const {
  limiter_.with_lock([&](const Algorithm& limiter) { limiter.refund(key, amount); });
}

void VornEngine::reset(std::string_view key) const {
  limiter_.with_lock([&](const Algorithm& limiter) { limiter.reset(key); });
}

const ZoneConnection* VornEngine::zone_connection() const { return zone_; }

CheckOutcome VornEngine::check_request_with_identity(std::optional<std::string_view> identity,
                                                     std::string_view ip, std::string_view route,
                                                     uint64_t start_ms, OutcomeDetail detail,
                                                     Cost cost) const {
  const bool wants_record = detail == OutcomeDetail::Full || api_key_.has_value();
  if (mode_ == Mode::Disabled) {
    // No lock, no limiter call, no event: the client's state is untouched.
    counts_.add_concurrent(CheckOutcomeKind::Disabled);
    return CheckOutcome{
        .decision = detail == OutcomeDetail::Full
                        ? build_canonical_decision(DecisionKind::Allow, LimitReason::WithinLimit,
                                                   identity, ip, route, start_ms, clock_.now_ms(),
                                                   std::nullopt, std::nullopt, std::nullopt)
                        : CanonicalDecision{},
        .algorithm = algorithm_name_,
        .debug_info = LimitMessage::fixed("disabled"),
        .reason = std::nullopt,
        .allowed = true,
        .would_block = false,
        .figures = LimitFigures{},
    };
  }

  // The identity, even an empty one, is the key; the route never is part of it.
  AlgorithmResult result = run_limiter(identity ? *identity : ip, cost);
  // One reading right after the limiter ends both the record's latency and the
  // telemetry event's.
  const uint64_t limiter_done_ms = wants_record ? clock_.now_ms() : 0;
  CanonicalDecision decision =
      wants_record ? build_canonical_decision(decision_kind(result), result.reason, identity, ip,
                                              route, start_ms, limiter_done_ms, result.remaining,
                                              result.reset_after_ms, result.retry_after_ms)
                   : CanonicalDecision{};
  CheckVerdict verdict = verdict_of(std::move(result));
  if (api_key_) {
    push_event(decision, identity, ip, route, start_ms, limiter_done_ms, verdict.allowed);
  }
  return CheckOutcome{
      .decision = std::move(decision),
      .algorithm = algorithm_name_,
      .debug_info = verdict.debug_info,
      .reason = verdict.reason,
      .allowed = verdict.allowed,
      .would_block = verdict.would_block,
      .figures = verdict.figures,
      .rate = verdict.rate,
  };
}

CheckVerdict VornEngine::check_verdict(std::optional<std::string_view> identity,
                                       std::string_view ip, std::string_view route,
                                       uint64_t start_ms, Cost cost) const {
  if (mode_ == Mode::Disabled) {
    counts_.add_concurrent(CheckOutcomeKind::Disabled);
    return CheckVerdict{.debug_info = LimitMessage::fixed("disabled"),
                        .reason = std::nullopt,
                        .allowed = true,
                        .would_block = false,
                        .figures = LimitFigures{}};
  }
  AlgorithmResult result = run_limiter(identity ? *identity : ip, cost);
  if (!api_key_) return verdict_of(std::move(result));
  const uint64_t limiter_done_ms = clock_.now_ms();
  CanonicalDecision decision = build_canonical_decision(
      decision_kind(result), result.reason, identity, ip, route, start_ms, limiter_done_ms,
      result.remaining, result.reset_after_ms, result.retry_after_ms);
  CheckVerdict verdict = verdict_of(std::move(result));
  push_event(std::move(decision), identity, ip, route, start_ms, limiter_done_ms,
             verdict.allowed);
  return verdict;
}

void VornEngine::push_event(CanonicalDecision decision, std::optional<std::string_view> identity,
                            std::string_view ip, std::string_view route, uint64_t start_ms,
                            uint64_t limiter_done_ms, bool allowed) const {
  const uint64_t timestamp = decision.timestamp;
  telemetry_.push(CanonicalTelemetryEvent{
      .event_type = kDecisionEventType,
      .api_key = *api_key_,
      .source = std::nullopt,
      .decision = std::move(decision),
      .metadata =
          CanonicalRequestMetadata{
              .route = std::string(route),
              .ip = std::string(ip),
              .mode = mode_word(mode_),
              .user_agent = std::nullopt,
              .method = std::nullopt,
              .identity = copy_of(identity),
              .latency_ms = saturating_sub(limiter_done_ms, start_ms),
              .status_code = allowed ? kStatusAllowed : kStatusBlocked,
          },
      .timestamp = timestamp,
  });
}

void VornEngine::name_meter(std::string_view name) const {
  CountRegistry::process().rename(this, name);
  if (zone_ == nullptr) return;
  limiter_.with_lock([this, name](const Algorithm&) { zone_->rename_meter(name); });
}

CanonicalDecision VornEngine::build_canonical_decision(
    DecisionKind decision, LimitReason reason, std::optional<std::string_view> identity,
    std::string_view ip, std::string_view route, uint64_t start_ms, uint64_t now,
    std::optional<uint64_t> remaining, std::optional<uint64_t> reset_after_ms,
    std::optional<uint64_t> retry_after_ms) const {
  return CanonicalDecision{
      .decision = decision_word(decision),
      .reason = reason_word(reason),
      .algorithm = algorithm_name_,
      .route = std::string(route),
      .identity = copy_of(identity),
      .mode = mode_word(mode_),
      .ip = std::string(ip),
      .region = std::nullopt,
      .remaining = remaining,
      .reset_after_ms = reset_after_ms,
      .retry_after_ms = retry_after_ms,
      .latency_ms = saturating_sub(now, start_ms),
      .limit = std::nullopt,
      .score = std::nullopt,
      .confidence = std::nullopt,
      .timestamp = now / 1000,
  };
}

}  // namespace vorn
