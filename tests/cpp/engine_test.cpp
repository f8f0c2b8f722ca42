#include "core/engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test_clock.h"

namespace vorn {
namespace {

using testing::ManualClock;

struct EngineOptions {
  std::string algorithm = "token_bucket";
  std::string mode = "active";
  std::optional<std::string> api_key = std::nullopt;
  double capacity = 2;
  double refill_rate = 0;
};

VornEngine make_engine(const EngineOptions& o, const ManualClock& clock) {
  return VornEngine(o.algorithm, o.mode, o.api_key, o.capacity, o.refill_rate, 1.0, std::nullopt,
                    RateLimitOptions{}, 60000, "http://127.0.0.1:4000", clock.clock());
}

TEST(Engine, ModeIsNormalisedButAlgorithmIsReportedVerbatim) {
  ManualClock clock;
  for (const char* mode : {"Shadow", "ACTIVE", "", "active", "Disabled"}) {
    VornEngine engine = make_engine({.algorithm = "foo", .mode = mode}, clock);
    EXPECT_EQ(engine.mode(), Mode::Active) << mode;
    CheckOutcome outcome = engine.check_request_with_identity(std::nullopt, "1.1.1.1", "/", 0);
    EXPECT_EQ(outcome.algorithm, "foo");
    EXPECT_EQ(outcome.decision.algorithm, "foo");
    EXPECT_EQ(outcome.decision.mode, "active");
    EXPECT_EQ(outcome.reason, "within_limit");
  }
  VornEngine token = make_engine({.algorithm = "Token_Bucket", .capacity = 10}, clock);
  CheckOutcome outcome = token.check_request_with_identity(std::nullopt, "ip", "/", 0);
  EXPECT_EQ(outcome.algorithm, "Token_Bucket");
  EXPECT_EQ(outcome.debug_info, "9 tokens remaining");
}

TEST(Engine, IdentityIsTheKeyEvenWhenEmptyAndRoutesShareOneBudget) {
  ManualClock clock;
  VornEngine engine = make_engine({.capacity = 1}, clock);
  EXPECT_TRUE(engine.check_request_with_identity("", "1.1.1.1", "/a", 0).allowed);
  EXPECT_FALSE(engine.check_request_with_identity("", "2.2.2.2", "/b", 0).allowed);
  // The empty identity is its own key, apart from every IP.
  EXPECT_TRUE(engine.check_request_with_identity(std::nullopt, "1.1.1.1", "/a", 0).allowed);
  EXPECT_FALSE(engine.check_request_with_identity(std::nullopt, "1.1.1.1", "/other", 0).allowed);
  CheckOutcome outcome = engine.check_request_with_identity(std::nullopt, "3.3.3.3", "/", 0);
  EXPECT_EQ(outcome.decision.identity, std::nullopt);
  EXPECT_EQ(outcome.decision.ip, "3.3.3.3");
  EXPECT_EQ(engine.check_request_with_identity("", "4.4.4.4", "/", 0).decision.identity, "");
}

TEST(Engine, OutcomesByModeAndVerdict) {
  ManualClock clock;
  struct Row {
    const char* mode;
    bool limiter_allows;
    bool allowed, would_block;
    const char* decision;
    const char* reason;
  } rows[] = {
      {"active", true, true, false, "allow", "within_limit"},
      {"active", false, false, true, "block", "token_exhausted"},
      {"shadow", true, true, false, "allow", "within_limit"},
      {"shadow", false, true, true, "would_block", "token_exhausted"},
  };
  for (const Row& row : rows) {
    VornEngine engine = make_engine({.mode = row.mode, .api_key = "key", .capacity = 1}, clock);
    if (!row.limiter_allows) engine.check_request_with_identity(std::nullopt, "ip", "/", 0);
    CheckOutcome outcome = engine.check_request_with_identity(std::nullopt, "ip", "/r", 0);
    EXPECT_EQ(outcome.allowed, row.allowed) << row.mode << row.limiter_allows;
    EXPECT_EQ(outcome.would_block, row.would_block);
    EXPECT_EQ(outcome.decision.decision, row.decision);
    EXPECT_EQ(outcome.decision.reason, row.reason);
    EXPECT_EQ(outcome.reason, row.reason);
    auto events = engine.telemetry().snapshot();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().metadata.status_code, row.allowed ? 200 : 429);
    EXPECT_EQ(events.back().event_type, "decision");
    EXPECT_EQ(events.back().api_key, "key");
    EXPECT_EQ(events.back().decision.decision, row.decision);
    EXPECT_EQ(events.back().metadata.mode, row.mode);
  }
}

TEST(Engine, ShadowRefusalsStillCountAgainstTheBudget) {
  ManualClock clock;
  VornEngine engine =
      make_engine({.algorithm = "fixed_window", .mode = "shadow", .capacity = 2}, clock);
  std::vector<bool> would_block;
  for (int i = 0; i < 4; ++i) {
    CheckOutcome outcome = engine.check_request_with_identity(std::nullopt, "ip", "/", 0);
    EXPECT_TRUE(outcome.allowed);
    would_block.push_back(outcome.would_block);
  }
  EXPECT_EQ(would_block, (std::vector<bool>{false, false, true, true}));
}

TEST(Engine, DisabledModeTouchesNoStateAndQueuesNothing) {
  ManualClock clock;
  VornEngine engine = make_engine({.mode = "disabled", .api_key = "", .capacity = 1}, clock);
  CheckOutcome outcome = engine.check_request_with_identity(std::nullopt, "ip", "/", 0);
  EXPECT_TRUE(engine.check_request_with_identity(std::nullopt, "ip", "/", 0).allowed);
  EXPECT_TRUE(outcome.allowed);
  EXPECT_FALSE(outcome.would_block);
  EXPECT_EQ(outcome.reason, std::nullopt);
  EXPECT_EQ(outcome.debug_info, "disabled");
  EXPECT_EQ(outcome.decision.decision, "allow");
  EXPECT_EQ(outcome.decision.reason, "within_limit");
  EXPECT_EQ(outcome.decision.remaining, std::nullopt);
  EXPECT_EQ(outcome.decision.reset_after_ms, std::nullopt);
  EXPECT_EQ(outcome.decision.retry_after_ms, std::nullopt);
  EXPECT_EQ(outcome.decision.latency_ms, clock.now());
  EXPECT_EQ(engine.telemetry().size(), 0u);
  EXPECT_EQ(clock.reads(), 2u);  // only the record's own reading: no limiter call
}

TEST(Engine, LatencyAndTimestampComeFromTheClock) {
  ManualClock clock(1'700'000'123'456);
  VornEngine engine = make_engine({.api_key = "k"}, clock);
  CheckOutcome outcome =
      engine.check_request_with_identity(std::nullopt, "ip", "/", clock.now() - 25);
  EXPECT_EQ(outcome.decision.latency_ms, 25u);
  EXPECT_EQ(outcome.decision.timestamp, 1'700'000'123u);
  // A start in the future gives 0 in both the record and the metadata.
  outcome = engine.check_request_with_identity(std::nullopt, "ip", "/", clock.now() + 5000);
  EXPECT_EQ(outcome.decision.latency_ms, 0u);
  auto events = engine.telemetry().snapshot();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].metadata.latency_ms, 25u);
  EXPECT_EQ(events[1].metadata.latency_ms, 0u);
  EXPECT_EQ(events[1].timestamp, events[1].decision.timestamp);
}

TEST(Engine, TelemetryOnlyWithAnApiKeyAndTheCopyIsIndependent) {
  ManualClock clock;
  VornEngine quiet = make_engine({}, clock);
  quiet.check_request_with_identity(std::nullopt, "ip", "/", 0);
  EXPECT_EQ(quiet.telemetry().size(), 0u);
  EXPECT_FALSE(quiet.telemetry().enabled());

  VornEngine engine = make_engine({.api_key = ""}, clock);
  CheckOutcome outcome = engine.check_request_with_identity("user", "ip", "/route", 0);
  outcome.decision.route = "changed";
  outcome.decision.identity.reset();
  auto events = engine.telemetry().snapshot();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].decision.route, "/route");
  EXPECT_EQ(events[0].decision.identity, "user");
  EXPECT_EQ(events[0].metadata.identity, "user");
  EXPECT_EQ(events[0].metadata.ip, "ip");
  EXPECT_EQ(events[0].api_key, "");
}

TEST(Engine, VerdictOnlyChecksAnswerAlikeWithoutBuildingTheRecord) {
  for (const char* mode : {"active", "shadow", "disabled"}) {
    ManualClock clock;
    VornEngine full = make_engine({.mode = mode, .capacity = 2}, clock);
    VornEngine lean = make_engine({.mode = mode, .capacity = 2}, clock);
    VornEngine leanest = make_engine({.mode = mode, .capacity = 2}, clock);
    for (int i = 0; i < 4; ++i) {
      CheckOutcome expected = full.check_request_with_identity(std::nullopt, "ip", "/", 0);
      uint64_t reads_before = clock.reads();
      const CheckVerdict verdict = leanest.check_verdict(std::nullopt, "ip", "/", 0);
      EXPECT_EQ(verdict.allowed, expected.allowed) << mode << i;
      EXPECT_EQ(verdict.would_block, expected.would_block);
      EXPECT_EQ(verdict.reason, expected.reason);
      EXPECT_EQ(verdict.debug_info, expected.debug_info);
      EXPECT_EQ(verdict.figures.remaining, expected.figures.remaining);
      EXPECT_EQ(verdict.figures.next_admission_ms, expected.figures.next_admission_ms);
      EXPECT_EQ(verdict.figures.full_reset_ms, expected.figures.full_reset_ms);
      reads_before = clock.reads() - reads_before;
      EXPECT_EQ(reads_before, std::string(mode) == "disabled" ? 0 : (i == 0 ? 2 : 1));
      reads_before = clock.reads();
      CheckOutcome outcome = lean.check_request_with_identity(std::nullopt, "ip", "/", 0,
                                                              OutcomeDetail::VerdictOnly);
      EXPECT_EQ(outcome.allowed, expected.allowed) << mode << i;
      EXPECT_EQ(outcome.would_block, expected.would_block);
      EXPECT_EQ(outcome.reason, expected.reason);
      EXPECT_EQ(outcome.algorithm, expected.algorithm);
      EXPECT_EQ(outcome.debug_info, expected.debug_info);
      EXPECT_TRUE(outcome.decision.decision.empty());
      // Only the limiter reads the clock (twice for a new key, none when disabled).
      const uint64_t limiter_reads = std::string(mode) == "disabled" ? 0 : (i == 0 ? 2 : 1);
      EXPECT_EQ(clock.reads() - reads_before, limiter_reads);
    }
  }
  // Telemetry still records the full decision.
  ManualClock clock;
  VornEngine engine = make_engine({.api_key = "k"}, clock);
  engine.check_request_with_identity(std::nullopt, "ip", "/r", 0, OutcomeDetail::VerdictOnly);
  engine.check_verdict("user", "ip", "/v", 0);
  auto events = engine.telemetry().snapshot();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].decision.decision, "allow");
  EXPECT_EQ(events[0].decision.route, "/r");
  EXPECT_EQ(events[1].decision.route, "/v");
  EXPECT_EQ(events[1].metadata.identity, "user");
  EXPECT_EQ(engine.check_counts()[CheckOutcomeKind::Allowed], 2u);
}

TEST(Engine, ClockFailureInsideTheLimiterPoisonsActiveAndShadowChecks) {
  for (const char* mode : {"active", "shadow"}) {
    ManualClock clock;
    VornEngine engine = make_engine({.mode = mode}, clock);
    clock.set_before_epoch();
    try {
      engine.check_request_with_identity(std::nullopt, "ip", "/", 0);
      FAIL();
    } catch (const FatalError& error) {
      EXPECT_STREQ(error.what(), testing::kClockFailure);
    }
    clock.set(clock.now());
    try {
      engine.check_request_with_identity(std::nullopt, "other", "/", 0);
      FAIL();
    } catch (const FatalError& error) {
      EXPECT_STREQ(error.what(), "called `Result::unwrap()` on an `Err` value: PoisonError { .. }");
    }
  }
}

TEST(Engine, ClockFailureAfterTheLimiterDoesNotPoison) {
  ManualClock clock;
  VornEngine engine = make_engine({.api_key = "k", .capacity = 5}, clock);
  engine.check_request_with_identity(std::nullopt, "ip", "/", 0);  // key known: one reading
  clock.fail_after(1);  // the limiter's reading succeeds, the engine's next fails
  EXPECT_THROW(engine.check_request_with_identity(std::nullopt, "ip", "/", 0), FatalError);
  EXPECT_EQ(engine.telemetry().size(), 1u);  // no event for the failed check
  clock.set(clock.now());
  CheckOutcome outcome = engine.check_request_with_identity(std::nullopt, "ip", "/", 0);
  EXPECT_EQ(outcome.decision.remaining, 2u);  // the failed check's token stays taken
}

TEST(Engine, ConcurrentChecksAdmitExactlyTheWholeCapacity) {
  VornEngine engine("token_bucket", "active", std::string("key"), 1000.7, 0, 1.0, std::nullopt,
                    RateLimitOptions{}, 60000, "");
  std::atomic<int> admitted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 400; ++i) {
        CheckOutcome outcome = engine.check_request_with_identity(std::nullopt, "shared",
                                                                  "/route" + std::to_string(t), 0);
        admitted += outcome.allowed;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(admitted.load(), 1000);
  EXPECT_EQ(engine.telemetry().size(), 3200u);
  // The in-process engine counts with no lock of its own: no count is lost.
  EXPECT_EQ(engine.check_counts()[CheckOutcomeKind::Allowed], 1000u);
  EXPECT_EQ(engine.check_counts()[CheckOutcomeKind::Refused], 2200u);
}

TEST(Engine, ConcurrentChecksOverManyShardsLoseNoCount) {
  // Each shard counts its own checks; a count read sums them.
  VornEngine engine("token_bucket", "active", std::nullopt, 5, 0, 1.0, std::nullopt,
                    RateLimitOptions{}, 60000, "");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 640; ++i) {
        engine.check_request_with_identity(std::nullopt, "10.0.0." + std::to_string(i % 64), "/", 0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(engine.check_counts()[CheckOutcomeKind::Allowed], 64u * 5);
  EXPECT_EQ(engine.check_counts()[CheckOutcomeKind::Refused], 8u * 640 - 64 * 5);
}

}  // namespace
}  // namespace vorn
