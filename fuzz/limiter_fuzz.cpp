// libFuzzer target: drives the four limiters, directly and behind the engine,
// with parameters, keys and clock movements taken from the fuzzer's bytes, and
// aborts on the first broken invariant (see invariants.h). The first byte picks
// the subject, the next ones its parameters; the rest is a program of checks
// and clock moves, one operation per byte plus its operands.
//
// The stores drop per-client state that a fresh state would answer identically
// (reclaiming). That holds while the wall clock moves forwards, so subjects with
// reclaiming on get a forward-only clock, and subjects with it off get a clock
// that also steps back, where every rule must hold for the state each key kept.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "algorithms/algorithm.h"
#include "algorithms/fatal_error.h"
#include "algorithms/numeric.h"
#include "core/engine.h"
#include "fuzz_input.h"
#include "invariants.h"

namespace vorn::fuzz {
namespace {

constexpr size_t kMaxOperations = 2048;
const std::string kPoisoned = std::string(kUnwrapFailedPrefix) + "PoisonError { .. }";

uint64_t start_time(FuzzInput& in) {
  switch (in.byte() % 6) {
    case 0:
      return 1'700'000'000'000;
    case 1:
      return 0;
    case 2:
      return 59'999;
    case 3:
      return UINT64_MAX - 5;
    case 4:
      return in.u64();
    default:
      return 1'000'000'000'000 + in.u64() % 1'000'000'000'000;
  }
}

std::string key(FuzzInput& in) {
  static const std::string kLong(1 << 16, 'k');
  switch (in.byte() % 8) {
    case 0:
      return "";
    case 1:
      return "10.0.0.1";
    case 2:
      return "\xff\xfe\x80not utf-8\xc3";
    case 3:
      return std::string("a\0b", 3);
    case 4:
      return kLong;
    case 5:
      return "::1";
    default:
      return in.bytes(32);
  }
}

// Applies a clock operation; returns false if the byte was not one.
bool move_clock(uint8_t op, FuzzInput& in, FuzzClock& clock) {
  switch (op) {
    case 0:
      clock.forward(in.byte());
      return true;
    case 1:
      clock.forward(in.u64() % 200'000'000);
      return true;
    case 2:
      clock.backward(in.byte());
      return true;
    case 3:
      clock.backward(in.u64() % 200'000'000);
      return true;
    case 4:
      clock.set(in.u64());
      return true;
    case 5:
      clock.fail_once_after(in.byte() % 5);
      return true;
    case 6:
      clock.set_before_epoch(true);
      return true;
    case 7:
      clock.disarm();
      return true;
    default:
      return false;
  }
}

void expect_fatal(const FatalError& error, bool clock_armed) {
  const std::string message = error.what();
  require(message.rfind(kUnwrapFailedPrefix, 0) == 0, "fatal message without the unwrap prefix");
  require(clock_armed, "a fatal failure while the clock worked");
}

LimiterParams limiter_params(LimiterKind kind, FuzzInput& in) {
  LimiterParams params;
  params.kind = kind;
  if (kind == LimiterKind::SlidingWindow || kind == LimiterKind::FixedWindow) {
    params.window_ms = in.window_u64();
    params.max_requests = in.window_u64();
  } else {
    params.capacity = in.f64();
    params.rate = in.f64();
  }
  return params;
}

Algorithm build_limiter(const LimiterParams& p, Clock clock, Reclaiming reclaiming) {
  switch (p.kind) {
    case LimiterKind::SlidingWindow:
      return Algorithm(SlidingWindow(p.window_ms, p.max_requests, clock, reclaiming));
    case LimiterKind::FixedWindow:
      return Algorithm(FixedWindow(p.window_ms, p.max_requests, clock, reclaiming));
    case LimiterKind::LeakyBucket:
      return Algorithm(LeakyBucket(p.capacity, p.rate, clock, reclaiming));
    case LimiterKind::TokenBucket:
      break;
  }
  return Algorithm(TokenBucket(p.capacity, p.rate, clock, reclaiming));
}

void run_limiter(LimiterKind kind, Reclaiming reclaiming, FuzzInput& in, FuzzClock& clock) {
  InvariantChecker checker(limiter_params(kind, in));
  if (tracing()) {
    const LimiterParams& p = checker.params();
    std::fprintf(stderr, "limiter %d capacity %g rate %g window_ms %llu max_requests %llu\n",
                 static_cast<int>(kind), p.capacity, p.rate,
                 static_cast<unsigned long long>(p.window_ms),
                 static_cast<unsigned long long>(p.max_requests));
  }
  const Algorithm limiter = build_limiter(checker.params(), clock.clock(), reclaiming);
  for (size_t i = 0; i < kMaxOperations && !in.empty(); ++i) {
    const uint8_t op = in.byte() % 12;
    if (move_clock(op, in, clock)) continue;
    const std::string k = key(in);
    checker.attempt(k, clock.now());
    const bool armed = clock.armed();
    try {
      checker.observe(k, clock.now(), limiter.check(k));
    } catch (const FatalError& error) {
      expect_fatal(error, armed);
    }
  }
}

// The limiter the engine builds for a name: exact names only, the token bucket
// for every other text.
LimiterParams engine_limiter(const std::string& name, double capacity, double refill_rate) {
  LimiterParams params;
  params.capacity = capacity;
  params.rate = refill_rate;
  params.window_ms = WINDOW_MS;
  params.max_requests = to_u64_saturating(capacity);
  if (name == "sliding_window") params.kind = LimiterKind::SlidingWindow;
  if (name == "fixed_window") params.kind = LimiterKind::FixedWindow;
  if (name == "leaky_bucket") params.kind = LimiterKind::LeakyBucket;
  return params;
}

std::string pick(FuzzInput& in, std::initializer_list<const char*> texts, size_t max_random) {
  const size_t choice = in.byte() % (texts.size() + 1);
  return choice < texts.size() ? std::string(texts.begin()[choice]) : in.bytes(max_random);
}

void check_outcome(const CheckOutcome& out, const std::string& algorithm, Mode mode,
                   const std::optional<std::string>& identity, const std::string& ip,
                   const std::string& route, uint64_t now, uint64_t start,
                   InvariantChecker& checker, const std::string& limiter_key) {
  const CanonicalDecision& d = out.decision;
  require(out.algorithm == algorithm && d.algorithm == algorithm, "algorithm name not verbatim");
  require(d.route == route && d.ip == ip && d.identity == identity, "request texts not copied");
  require(d.mode == mode_word(mode), "decision mode word");
  require(d.latency_ms == saturating_sub(now, start), "latency from the start time");
  require(d.timestamp == now / 1000, "decision timestamp in seconds");
  if (mode == Mode::Disabled) {
    require(out.allowed && !out.would_block && !out.reason, "disabled mode lets everything by");
    require(out.debug_info == "disabled", "disabled debug text");
    require(d.decision == "allow" && d.reason == "within_limit", "disabled decision words");
    require(!d.remaining && !d.reset_after_ms && !d.retry_after_ms, "disabled has no allowance");
    return;
  }
  require(out.reason.has_value() && *out.reason == d.reason, "reason word in outcome and record");
  AlgorithmResult seen;
  seen.allowed = d.reason == "within_limit";
  seen.reason = seen.allowed                   ? LimitReason::WithinLimit
                : d.reason == "limit_exceeded" ? LimitReason::LimitExceeded
                                               : LimitReason::TokenExhausted;
  require(seen.allowed || d.reason == "limit_exceeded" || d.reason == "token_exhausted",
          "unknown reason word");
  require(out.would_block == !seen.allowed, "would_block is the limiter's refusal");
  require(out.allowed == (seen.allowed || mode == Mode::Shadow), "allowed by mode and verdict");
  const char* word = seen.allowed ? "allow" : mode == Mode::Shadow ? "would_block" : "block";
  require(d.decision == word, "decision word by mode and verdict");
  seen.remaining = d.remaining;
  seen.reset_after_ms = d.reset_after_ms;
  seen.retry_after_ms = d.retry_after_ms;
  seen.message = out.debug_info;
  checker.observe(limiter_key, now, seen);
}

void run_engine(Reclaiming reclaiming, FuzzInput& in, FuzzClock& clock) {
  const std::string algorithm =
      pick(in,
           {"token_bucket", "sliding_window", "fixed_window", "leaky_bucket", "Token_Bucket", "",
            " fixed_window", "tokenbucket"},
           16);
  const std::string mode_name = pick(in, {"active", "shadow", "disabled", "Shadow", ""}, 8);
  std::optional<std::string> api_key;
  if (in.byte() & 1) api_key = pick(in, {"", "k-123"}, 16);
  const double capacity = in.f64();
  const double refill_rate = in.f64();
  const Mode mode = mode_name == "disabled" ? Mode::Disabled
                    : mode_name == "shadow" ? Mode::Shadow
                                            : Mode::Active;
  RateLimitOptions limits{in.u64(), std::nullopt, in.u64()};
  const VornEngine engine(algorithm, mode_name, api_key, capacity, refill_rate, in.f64(),
                          std::nullopt, limits, in.u64(), in.bytes(16), clock.clock(), reclaiming);
  InvariantChecker checker(engine_limiter(algorithm, capacity, refill_rate));

  bool poisoned = false;
  uint64_t recorded = 0;
  for (size_t i = 0; i < kMaxOperations && !in.empty(); ++i) {
    const uint8_t op = in.byte() % 12;
    if (move_clock(op, in, clock)) continue;
    std::optional<std::string> identity;
    if (op & 1) identity = key(in);
    const std::string ip = key(in);
    const std::string route = in.bytes(8);
    const uint64_t start = (op & 2) ? clock.now() : in.u64();
    const std::string& limiter_key = identity ? *identity : ip;
    checker.attempt(limiter_key, clock.now());
    const bool armed = clock.armed();
    try {
      const CheckOutcome out = engine.check_request_with_identity(identity, ip, route, start);
      require(!poisoned || mode == Mode::Disabled, "a poisoned engine answered");
      check_outcome(out, algorithm, mode, identity, ip, route, clock.now(), start, checker,
                    limiter_key);
      if (mode != Mode::Disabled) recorded += 1;
    } catch (const FatalError& error) {
      if (error.what() == kPoisoned) {
        require(mode != Mode::Disabled, "a disabled engine reported a poisoned lock");
        poisoned = true;
      } else {
        require(!poisoned, "a poisoned engine failed some other way");
        expect_fatal(error, armed);
      }
      // The limiter may have counted this request before the failure.
      checker.lose_track(limiter_key);
    }
  }
  const uint64_t expected =
      api_key ? std::min<uint64_t>(recorded, TelemetryQueue::MAX_QUEUE_SIZE) : 0;
  require(engine.telemetry().size() == expected, "one telemetry event per recorded decision");
}

}  // namespace
}  // namespace vorn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorn;
  using namespace vorn::fuzz;
  FuzzInput in(data, size);
  // Subjects 0-4 keep every client's state; 5-9 reclaim it, as the product does.
  const uint8_t subject = in.byte() % 10;
  const Reclaiming reclaiming = subject < 5 ? Reclaiming::Off : Reclaiming::On;
  FuzzClock clock(start_time(in), /*forward_only=*/reclaiming == Reclaiming::On);
  if (subject % 5 == 4) {
    run_engine(reclaiming, in, clock);
  } else {
    run_limiter(static_cast<LimiterKind>(subject % 5), reclaiming, in, clock);
  }
  return 0;
}
