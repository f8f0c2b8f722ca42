// A VornEngine answers, for each request, whether a client may pass. It owns one
// limiter (behind an engine-wide poisoning lock), the mode, the telemetry queue
// and options it only stores. Construction never fails.
//
// Every check is counted by outcome (check_counts()); an engine on a zone also
// counts in its meter there, under the name given by name_meter(), so that any
// process can tell the whole machine's counts. Disabled checks consult no zone
// and are counted by the engine alone.
//
// Thread-safety: check_request_with_identity and check_verdict are thread-safe.
// Active and shadow checks of a zone or synced engine serialise on the limiter
// lock for the limiter call and its counting only; an in-process engine's
// limiter is safe by itself (each key's shard lock), so its checks take no
// limiter lock and are counted in the key's shard, under its lock, which
// spares every check an atomic addition to a counter all threads share.
// Disabled checks take no lock.
// Refunds, resets and renames always take the limiter lock. Lock order: limiter lock, then the limiter's shard lock; the
// telemetry queue's lock is taken only after the limiter lock is released, so no
// two of the engine's locks are ever held in opposite orders. A fork takes them
// all in that same order (LockLevel in core/fork_guard.h) and so never copies
// one into the child held; keep new locks within those levels and rules.
//
// Fatal failures (clock before the epoch, poisoned lock) throw FatalError. One
// raised inside the limiter poisons the limiter lock for the engine's life; from
// then on every active or shadow check throws, while disabled checks succeed.
// A failed allocation (a client's log grown past what memory holds) throws
// std::bad_alloc from that check alone and poisons nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "algorithms/algorithm.h"
#include "algorithms/clock.h"
#include "core/canonical.h"
#include "core/check_counts.h"
#include "core/poisoning_mutex.h"
#include "sync/sync_store.h"
#include "telemetry/queue.h"
#include "zone/zone_connection.h"
#include "zone/zone_meter.h"
#include "zone/zone_placement.h"

namespace vorn {

// Stored with the engine; no decision reads them.
struct RateLimitOptions {
  std::optional<uint64_t> requests_per_minute;
  std::optional<uint64_t> requests_per_second;
  std::optional<uint64_t> burst_limit;
};

// What is left of the key's allowance after a check, for clients to be told;
// all absent in disabled mode, where nothing is counted.
struct LimitFigures {
  std::optional<uint64_t> remaining;
  std::optional<uint64_t> next_admission_ms;  // 0 while a request would be admitted now
  std::optional<uint64_t> full_reset_ms;      // until the allowance is whole again
};

struct CheckOutcome {
  CanonicalDecision decision;
  std::string algorithm;                   // the configured algorithm text
  LimitMessage debug_info;                 // the limiter's message, or "disabled"
  std::optional<std::string_view> reason;  // a LimitReason word; absent in disabled mode
  bool allowed = false;
  bool would_block = false;
  LimitFigures figures;
  uint8_t rate = 0;  // which of the engine's policies() the figures describe
};

// What a check decided, without the decision record or the algorithm's text:
// the fields of CheckOutcome that a host showing the verdict reads, with the
// same values. Holds no text of its own (the reason is a word of the fixed
// tables, the message renders on demand), so building one allocates nothing.
struct CheckVerdict {
  LimitMessage debug_info;                 // the limiter's message, or "disabled"
  std::optional<std::string_view> reason;  // a LimitReason word; absent in disabled mode
  bool allowed = false;
  bool would_block = false;
  LimitFigures figures;
  uint8_t rate = 0;  // which of the engine's policies() the figures describe
};

// How much of a CheckOutcome the caller will read. With VerdictOnly the
// decision record is left empty unless the telemetry event needs it: a host
// that shows only the verdict, the reason, the algorithm and the debug text
// should not pay for a record it drops (its clock reading, its copies).
enum class OutcomeDetail : bool { Full, VerdictOnly };

class VornEngine {
 public:
  VornEngine(std::string_view algorithm, std::string_view mode, std::optional<std::string> api_key,
             double capacity, double refill_rate, double burst_multiplier,
             std::optional<std::string> debug, RateLimitOptions limits, uint64_t block_duration_ms,
             std::string backend_url, Clock clock = Clock::system(),
             Reclaiming reclaiming = Reclaiming::On);

  // The same engine with its per-client state in a shared-memory zone. Throws
  // InvalidZoneName or ZoneError when the zone cannot be used.
  VornEngine(const ZonePlacement& zone, std::string_view algorithm, std::string_view mode,
             std::optional<std::string> api_key, double capacity, double refill_rate,
             double burst_multiplier, std::optional<std::string> debug, RateLimitOptions limits,
             uint64_t block_duration_ms, std::string backend_url, Clock clock = Clock::system());

  // An engine of a limit of `rates` (1 to kMaxRates, valid by rates_problem)
  // of `algorithm`, in process or, with `zone`, in that zone. Throws
  // InvalidZoneName or ZoneError when the zone cannot be used.
  VornEngine(std::string_view algorithm, std::string_view mode, std::optional<std::string> api_key,
             const std::vector<Rate>& rates, double burst_multiplier,
             std::optional<std::string> debug, RateLimitOptions limits, uint64_t block_duration_ms,
             std::string backend_url, const ZonePlacement* zone = nullptr,
             Clock clock = Clock::system(), Reclaiming reclaiming = Reclaiming::On);

  // An engine of `rates` of `algorithm` (token_bucket, fixed_window or
  // leaky_bucket; the host refuses the others) whose state a host keeps in
  // step with Redis through sync_store() (see sync/sync_store.h).
  VornEngine(std::string_view algorithm, std::string_view mode, std::optional<std::string> api_key,
             const std::vector<Rate>& rates, double burst_multiplier,
             std::optional<std::string> debug, RateLimitOptions limits, uint64_t block_duration_ms,
             std::string backend_url, SyncSettings sync, Clock clock = Clock::system());

  VornEngine(const VornEngine&) = delete;
  VornEngine& operator=(const VornEngine&) = delete;
  ~VornEngine();

  // Decides one request of `cost` (validated by the caller: cost_problem
  // with whole_costs()). The key is the identity when given (the empty text
  // included), else the IP; the route never takes part in it. Thread-safe.
  // Throws FatalError on a fatal failure.
  CheckOutcome check_request_with_identity(std::optional<std::string_view> identity,
                                           std::string_view ip, std::string_view route,
                                           uint64_t start_ms,
                                           OutcomeDetail detail = OutcomeDetail::Full,
                                           Cost cost = {}) const;

  // The same check, answering what check_request_with_identity with
  // OutcomeDetail::VerdictOnly answers less the algorithm's text: the
  // cheapest whole check. The telemetry event, when there is one, is the
  // same. Thread-safe. Throws FatalError on a fatal failure.
  CheckVerdict check_verdict(std::optional<std::string_view> identity, std::string_view ip,
                             std::string_view route, uint64_t start_ms, Cost cost = {}) const;

  // Gives back up to `amount` (validated as a cost) of what `key` spent, on
  // every rate; forgets `key` in every rate. The key is what checks key on.
  // Atomic with the key's checks; in every mode. Thread-safe. Throw
  // FatalError on a fatal failure.
  void refund(std::string_view key, double amount) const;
  void reset(std::string_view key) const;

  // This engine's checks by outcome, since it was made. Thread-safe.
  CheckCounts check_counts() const {
    CheckCounts counts = counts_.counts();
    if (counting_store_ != nullptr) counts += counting_store_->check_counts();
    return counts;
  }
  // Names this engine's counts (a valid_meter_name; "default" until then), in
  // the process's CountRegistry and in its meter in its zone. Thread-safe; may
  // wait for the zone's table lock.
  void name_meter(std::string_view name) const;

  // Whether costs given to this engine must be whole (window limiters).
  bool whole_costs() const { return whole_costs_; }
  // Every rate's limit and window, in order; policy() is the first.
  const std::vector<LimitPolicy>& policies() const { return policies_; }

  // The zone engine's hold on its zone; nullptr for an in-process engine.
  // Thread-safe to read beside checks (see ZoneConnection).
  const ZoneConnection* zone_connection() const;

  // The synced engine's store; nullptr for any other engine. Thread-safe to
  // use beside checks.
  const SyncStore* sync_store() const { return sync_; }

  const LimitPolicy& policy() const { return policy_; }
  Mode mode() const { return mode_; }
  const std::string& algorithm_name() const { return algorithm_name_; }
  const TelemetryQueue& telemetry() const { return telemetry_; }
  const std::optional<std::string>& api_key() const { return api_key_; }
  const std::optional<std::string>& debug() const { return debug_; }
  const RateLimitOptions& limits() const { return limits_; }
  double burst_multiplier() const { return burst_multiplier_; }
  uint64_t block_duration_ms() const { return block_duration_ms_; }

 private:
  VornEngine(Algorithm limiter, std::string_view algorithm, std::string_view mode,
             std::optional<std::string> api_key, double burst_multiplier,
             std::optional<std::string> debug, RateLimitOptions limits, uint64_t block_duration_ms,
             std::string backend_url, Clock clock);

  // The record of a check decided at `now` (the engine's clock).
  CanonicalDecision build_canonical_decision(DecisionKind decision, LimitReason reason,
                                             std::optional<std::string_view> identity,
                                             std::string_view ip, std::string_view route,
                                             uint64_t start_ms, uint64_t now,
                                             std::optional<uint64_t> remaining,
                                             std::optional<uint64_t> reset_after_ms,
                                             std::optional<uint64_t> retry_after_ms) const;

  // Runs the limiter for one check and counts it, under the limiter lock
  // unless the limiter needs none (it then counts in its store, under the
  // key's shard lock). Kept inline: on every check's path.
  AlgorithmResult run_limiter(std::string_view key, Cost cost) const {
    if (unlocked_checks_) {
      return limiter_.without_lock([this, key, cost](const Algorithm& limiter) {
        return limiter.check_counted(key, cost, count_as_);
      });
    }
    return limiter_.with_lock([this, key, cost](const Algorithm& limiter) {
      AlgorithmResult result = limiter.check(key, cost);
      count_checked<&CheckCounter::add_serialized>(result);
      return result;
    });
  }

  // Counts one limiter answer under the limiter lock.
  template <void (CheckCounter::*Add)(CheckOutcomeKind)>
  void count_checked(const AlgorithmResult& verdict) const {
    const CheckOutcomeKind kind = verdict.allowed         ? CheckOutcomeKind::Allowed
                                  : mode_ == Mode::Shadow ? CheckOutcomeKind::ShadowRefused
                                                          : CheckOutcomeKind::Refused;
    (counts_.*Add)(kind);
    if (verdict.by_policy) (counts_.*Add)(CheckOutcomeKind::ByPolicy);
    if (zone_meter_ != nullptr) {
      zone_meter_->add(kind);
      if (verdict.by_policy) zone_meter_->add(CheckOutcomeKind::ByPolicy);
    }
  }

  // The verdict of a limiter answer in this engine's mode.
  CheckVerdict verdict_of(AlgorithmResult&& result) const {
    return CheckVerdict{
        .debug_info = result.message,
        .reason = reason_word(result.reason),
        .allowed = result.allowed || mode_ == Mode::Shadow,
        .would_block = !result.allowed,
        .figures = LimitFigures{.remaining = result.remaining,
                                .next_admission_ms = result.next_admission_ms,
                                .full_reset_ms = result.full_reset_ms},
        .rate = result.rate,
    };
  }

  DecisionKind decision_kind(const AlgorithmResult& result) const {
    return result.allowed         ? DecisionKind::Allow
           : mode_ == Mode::Shadow ? DecisionKind::WouldBlock
                                   : DecisionKind::Block;
  }

  // Queues the telemetry event of one check; requires api_key_.
  void push_event(CanonicalDecision decision, std::optional<std::string_view> identity,
                  std::string_view ip, std::string_view route, uint64_t start_ms,
                  uint64_t limiter_done_ms, bool allowed) const;

  mutable PoisoningMutex<Algorithm> limiter_;
  mutable CheckCounter counts_;
  LimitPolicy policy_;
  std::vector<LimitPolicy> policies_;
  bool whole_costs_ = false;
  std::string algorithm_name_;
  TelemetryQueue telemetry_;
  std::optional<std::string> api_key_;
  std::optional<std::string> debug_;
  Mode mode_;
  RateLimitOptions limits_;
  double burst_multiplier_;
  uint64_t block_duration_ms_;
  Clock clock_;
  const ZoneConnection* zone_ = nullptr;  // inside limiter_, which never moves
  ZoneMeter* zone_meter_ = nullptr;       // zone_'s, under the limiter lock
  const SyncStore* sync_ = nullptr;       // inside limiter_, which never moves
  bool unlocked_checks_ = false;          // the limiter is safe without the limiter lock
  // The limiter, when it counts checks in its store (unlocked_checks_); inside
  // limiter_, which never moves.
  const Algorithm* counting_store_ = nullptr;
  CountAs count_as_;  // how such a limiter counts this engine's checks
};

}  // namespace vorn
