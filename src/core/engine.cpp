#include "core/engine.h"

#include "algorithms/numeric.h"

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
                       RateLimitOptions limits, uint64_t block_duration_ms,
                       std::string backend_url, Clock clock)
    : limiter_(Algorithm::from_name(algorithm, capacity, refill_rate, clock)),
      algorithm_name_(algorithm),
      telemetry_(std::move(backend_url), api_key.has_value()),
      api_key_(std::move(api_key)),
      debug_(std::move(debug)),
      mode_(mode_from_name(mode)),
      limits_(limits),
      burst_multiplier_(burst_multiplier),
      block_duration_ms_(block_duration_ms),
      clock_(clock) {}

CheckOutcome VornEngine::check_request_with_identity(std::optional<std::string_view> identity,
                                                     std::string_view ip, std::string_view route,
                                                     uint64_t start_ms) const {
  if (mode_ == Mode::Disabled) {
    // No lock, no limiter call, no event: the client's state is untouched.
    CheckOutcome outcome;
    outcome.decision =
        build_canonical_decision(DecisionKind::Allow, LimitReason::WithinLimit, identity, ip,
                                 route, start_ms, std::nullopt, std::nullopt, std::nullopt);
    outcome.algorithm = algorithm_name_;
    outcome.debug_info = "disabled";
    outcome.allowed = true;
    outcome.would_block = false;
    return outcome;
  }

  // The identity, even an empty one, is the key; the route never is part of it.
  const std::string_view key = identity ? *identity : ip;
  AlgorithmResult verdict = [&] {
    auto limiter = limiter_.lock();
    return limiter->check(key);
  }();

  const std::string_view reason = reason_word(verdict.reason);
  const uint64_t limiter_done_ms = clock_.now_ms();
  const bool allowed = verdict.allowed || mode_ == Mode::Shadow;
  const bool would_block = !verdict.allowed;
  const DecisionKind kind = verdict.allowed          ? DecisionKind::Allow
                            : mode_ == Mode::Shadow ? DecisionKind::WouldBlock
                                                    : DecisionKind::Block;

  CheckOutcome outcome;
  outcome.decision =
      build_canonical_decision(kind, verdict.reason, identity, ip, route, start_ms,
                               verdict.remaining, verdict.reset_after_ms, verdict.retry_after_ms);

  if (api_key_) {
    CanonicalTelemetryEvent event;
    event.event_type = kDecisionEventType;
    event.api_key = *api_key_;
    event.decision = outcome.decision;
    event.metadata.route = route;
    event.metadata.ip = ip;
    event.metadata.mode = mode_word(mode_);
    event.metadata.identity = copy_of(identity);
    event.metadata.latency_ms = saturating_sub(limiter_done_ms, start_ms);
    event.metadata.status_code = allowed ? kStatusAllowed : kStatusBlocked;
    event.timestamp = outcome.decision.timestamp;
    telemetry_.push(std::move(event));
  }

  outcome.algorithm = algorithm_name_;
  outcome.debug_info = std::move(verdict.message);
  outcome.reason = std::string(reason);
  outcome.allowed = allowed;
  outcome.would_block = would_block;
  return outcome;
}

CanonicalDecision VornEngine::build_canonical_decision(
    DecisionKind decision, LimitReason reason, std::optional<std::string_view> identity,
    std::string_view ip, std::string_view route, uint64_t start_ms,
    std::optional<uint64_t> remaining, std::optional<uint64_t> reset_after_ms,
    std::optional<uint64_t> retry_after_ms) const {
  const uint64_t now = clock_.now_ms();
  CanonicalDecision record;
  record.decision = decision_word(decision);
  record.reason = reason_word(reason);
  record.algorithm = algorithm_name_;
  record.route = route;
  record.ip = std::string(ip);
  record.identity = copy_of(identity);
  record.mode = mode_word(mode_);
  record.remaining = remaining;
  record.reset_after_ms = reset_after_ms;
  record.retry_after_ms = retry_after_ms;
  record.latency_ms = saturating_sub(now, start_ms);
  record.timestamp = now / 1000;
  return record;
}

}  // namespace vorn
