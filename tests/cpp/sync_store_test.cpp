// The synced store against a scripted clock and answers written as the sync
// script would give them, for every algorithm with one rate and with two.
#include "sync/sync_store.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "algorithms/fatal_error.h"
#include "core/engine.h"
#include "sync/key_digest.h"
#include "test_clock.h"

namespace vorn {
namespace {

using testing::ManualClock;

struct StoreCase {
  const char* name;
  SyncKind kind;
  std::vector<Rate> rates;  // the first is the tightest: 1000 per minute
};

const std::vector<StoreCase> kCases = {
    {"token_bucket", SyncKind::TokenBucket, {{1000, 60000}}},
    {"fixed_window", SyncKind::FixedWindow, {{1000, 60000}}},
    {"leaky_bucket", SyncKind::LeakyBucket, {{1000, 60000}}},
    {"token_bucket two rates", SyncKind::TokenBucket, {{1000, 60000}, {5000, 3600000}}},
    {"fixed_window two rates", SyncKind::FixedWindow, {{1000, 60000}, {5000, 3600000}}},
    {"leaky_bucket two rates", SyncKind::LeakyBucket, {{1000, 60000}, {5000, 3600000}}},
};

// Redis runs a second ahead of this machine: the mirror must not care.
constexpr uint64_t kServerAheadMs = 1000;

// What the script answers after granting `lease` to a key that had `spent`
// counted in Redis already (a fresh key: 0), at `server_now`.
SyncAnswer answer_of(const StoreCase& c, double lease, double spent, uint64_t server_now) {
  SyncAnswer answer{lease, {}};
  for (const Rate& rate : c.rates) {
    const double taken = lease + spent;
    answer.states.push_back(c.kind == SyncKind::TokenBucket ? rate.count - taken : taken);
    answer.states.push_back(static_cast<double>(server_now));
  }
  return answer;
}

// Each case runs on a process's own table and on a machine's table beside a zone.
struct TableCase {
  StoreCase store;
  bool machine;
};

std::vector<TableCase> table_cases() {
  std::vector<TableCase> cases;
  for (const StoreCase& c : kCases) {
    cases.push_back({c, false});
    cases.push_back({c, true});
  }
  return cases;
}

class SyncStoreTest : public ::testing::TestWithParam<TableCase> {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/vorn-ledger-test-XXXXXX";
    directory_ = mkdtemp(pattern);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(directory_); }
  const StoreCase& store_case() const { return GetParam().store; }
  SyncSettings settings(double max_overshoot = 0.02) const {
    SyncSettings settings;
    settings.max_overshoot = max_overshoot;
    settings.interval_ms = 100;
    settings.max_keys = 4096;
    if (GetParam().machine) {
      static int made = 0;
      settings.zone = ZonePlacement{"test" + std::to_string(++made), {}, directory_, {}};
    }
    return settings;
  }
  SyncStore make(double max_overshoot = 0.02) {
    return SyncStore(store_case().kind, store_case().rates, settings(max_overshoot),
                     clock.clock());
  }
  // A sync's reports, as a host takes them: after asking for its turn.
  static std::vector<SyncReport> reports(const SyncStore& store, bool closing) {
    EXPECT_TRUE(store.sync_turn());
    return store.reports(closing);
  }
  size_t admitted(const SyncStore& store, std::string_view key, size_t tries) {
    size_t passed = 0;
    for (size_t i = 0; i < tries; ++i) passed += store.check(key).allowed ? 1 : 0;
    return passed;
  }
  // One sync that grants every report `lease` on top of what was spent.
  void sync(const SyncStore& store, double lease, double spent, uint64_t instances = 1) {
    const std::vector<SyncReport> sent = reports(store, false);
    std::vector<SyncAnswer> answers;
    for (size_t i = 0; i < sent.size(); ++i) {
      answers.push_back(answer_of(store_case(), lease, spent, clock.now() + kServerAheadMs));
    }
    store.apply(clock.now() + kServerAheadMs, instances, answers);
  }
  ManualClock clock;
  static inline std::string directory_;
};

TEST_P(SyncStoreTest, NewKeyIsAdmittedWithinItsCreditThenWaitsForTheSync) {
  const SyncStore store = make();
  EXPECT_EQ(admitted(store, "a", 50), 20u);  // 2% of 1000, one instance
  const AlgorithmResult refused = store.check("a");
  EXPECT_FALSE(refused.allowed);
  EXPECT_EQ(refused.remaining, 0u);
  EXPECT_EQ(refused.next_admission_ms, 100u);  // the next sync, at most an interval away
  clock.advance(40);
  EXPECT_EQ(store.check("a").next_admission_ms, 60u);

  const std::vector<SyncReport> sent = reports(store, false);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].key, key_digest_text(key_digest("a")));  // the name Redis knows it by
  EXPECT_EQ(sent[0].extra, 20.0);
  EXPECT_EQ(sent[0].want, 104.0);  // twice the 52 asked for
  EXPECT_FALSE(sent[0].reset);
}

TEST_P(SyncStoreTest, ZeroOvershootAdmitsNothingBeforeTheFirstSync) {
  const SyncStore store = make(0.0);
  EXPECT_EQ(admitted(store, "a", 5), 0u);
  EXPECT_EQ(reports(store, false).at(0).want, 10.0);
}

TEST_P(SyncStoreTest, LeaseIsSpentThenASyncedKeyGetsNoCredit) {
  const SyncStore store = make();
  store.check("a");
  sync(store, 30, 1);
  EXPECT_EQ(admitted(store, "a", 40), 30u);
  const AlgorithmResult after = store.check("a");
  EXPECT_FALSE(after.allowed);
  const std::vector<SyncReport> sent = reports(store, false);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].extra, 0.0);
  EXPECT_EQ(sent[0].want, 82.0);
}

TEST_P(SyncStoreTest, MirrorRefusesWhatRedisSaysIsSpent) {
  // Other instances spent all but 5: the lease can be no more.
  const SyncStore store = make();
  store.check("a");
  sync(store, 5, 995);
  EXPECT_EQ(admitted(store, "a", 10), 5u);
  const AlgorithmResult refused = store.check("a");
  EXPECT_FALSE(refused.allowed);
  EXPECT_GT(refused.next_admission_ms.value_or(UINT64_MAX), 0u);
}

TEST_P(SyncStoreTest, AdmissionsWhileASyncIsInFlightStayCounted) {
  const SyncStore store = make();
  store.check("a");
  reports(store, false);
  // The credit is the key's until its first answer, however many reports.
  EXPECT_EQ(admitted(store, "a", 30), 19u);
  store.apply(clock.now(), 1, {answer_of(store_case(), 0, 1, clock.now())});
  // Redis knows of one; the mirror also holds the 19 it will hear of next.
  store.set_degraded(true);
  EXPECT_EQ(admitted(store, "a", 1000), 980u);
  EXPECT_EQ(reports(store, false).at(0).extra, 999.0);
}

TEST_P(SyncStoreTest, MoreInstancesShareTheCredit) {
  const SyncStore store = make();
  store.check("warm");
  sync(store, 1, 0, 4);
  EXPECT_EQ(store.instances(), 4u);
  EXPECT_EQ(admitted(store, "new", 50), 5u);  // floor(2% of 1000 / 4)
}

TEST_P(SyncStoreTest, CreditIsAtLeastOneUnlessZero) {
  const SyncStore store =
      SyncStore(store_case().kind, {{10, 60000}}, settings(0.01), clock.clock());
  EXPECT_EQ(admitted(store, "a", 5), 1u);
}

TEST_P(SyncStoreTest, FailedSyncKeepsExtraAndResetAndDropsGivenBackLease) {
  const SyncStore store = make();
  admitted(store, "a", 3);
  store.reset("b");
  store.failed();  // nothing in flight: nothing happens but the flag
  EXPECT_TRUE(store.degraded());
  std::vector<SyncReport> first = reports(store, false);
  ASSERT_EQ(first.size(), 2u);
  store.failed();
  std::vector<SyncReport> again = reports(store, false);
  ASSERT_EQ(again.size(), 2u);
  for (const SyncReport& report : again) {
    EXPECT_EQ(report.extra, report.key == key_digest_text(key_digest("a")) ? 3.0 : 0.0) << report.key;
    EXPECT_EQ(report.reset, report.key == key_digest_text(key_digest("b"))) << report.key;
  }
  std::vector<SyncAnswer> answers;
  for (size_t i = 0; i < again.size(); ++i) answers.push_back(answer_of(store_case(), 0, 3, 5));
  store.apply(5, 1, answers);
  EXPECT_FALSE(store.degraded());
}

TEST_P(SyncStoreTest, DegradedAdmitsByTheMirrorAloneAndReportsItAll) {
  const SyncStore store = make();
  store.set_degraded(true);
  EXPECT_EQ(admitted(store, "a", 1200), 1000u);
  EXPECT_EQ(reports(store, false).at(0).extra, 1000.0);
}

TEST_P(SyncStoreTest, ResetForgetsTheLeaseAndResetsRedisAtTheNextSync) {
  const SyncStore store = make();
  store.check("a");
  sync(store, 30, 1);
  store.check("a");
  reports(store, false);  // in flight
  store.reset("a");
  store.apply(clock.now(), 1, {answer_of(store_case(), 50, 2, clock.now())});
  // The answer predates the reset: its lease is not taken, and the key has
  // its credit again.
  EXPECT_EQ(admitted(store, "a", 50), 20u);
  const std::vector<SyncReport> sent = reports(store, false);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].reset);
  EXPECT_EQ(sent[0].extra, 20.0);
}

TEST_P(SyncStoreTest, RefundTakesBackUntoldAdmissionsFirstThenHoldsTheRest) {
  const SyncStore store = make();
  admitted(store, "a", 4);
  store.refund("a", 3);
  EXPECT_EQ(reports(store, false).at(0).extra, 1.0);
  store.apply(clock.now(), 1, {answer_of(store_case(), 0, 1, clock.now())});
  store.refund("a", 2);  // spent in Redis already: this process may spend it again
  EXPECT_EQ(admitted(store, "a", 5), 2u);
  store.refund("unknown", 1);
  EXPECT_EQ(store.keys_held(), 1u);
}

TEST_P(SyncStoreTest, UncheckedKeyGivesItsLeaseBackAndLeavesOnceWhole) {
  const SyncStore store = make();
  store.check("a");
  sync(store, 30, 1);
  EXPECT_EQ(reports(store, false).size(), 0u);
  EXPECT_EQ(reports(store, false).size(), 0u);
  const std::vector<SyncReport> third = reports(store, false);
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(third[0].unused, 30.0);
  EXPECT_EQ(third[0].lease_time_ms, clock.now() + kServerAheadMs);
  EXPECT_EQ(third[0].want, 0.0);
  store.apply(clock.now(), 1, {answer_of(store_case(), 0, 1, clock.now())});
  EXPECT_EQ(store.keys_held(), 1u);
  clock.advance(3'600'000);  // every rate whole again
  EXPECT_EQ(reports(store, false).size(), 0u);
  EXPECT_EQ(store.keys_held(), 0u);
}

TEST_P(SyncStoreTest, ClosingGivesEveryLeaseBack) {
  const SyncStore store = make();
  store.check("a");
  sync(store, 30, 1);
  store.check("a");
  const std::vector<SyncReport> last = reports(store, true);
  ASSERT_EQ(last.size(), 1u);
  // A machine's lease stays with the machine's other processes.
  EXPECT_EQ(last[0].unused, GetParam().machine ? 0.0 : 29.0);
  EXPECT_EQ(last[0].want, 0.0);
}

TEST_P(SyncStoreTest, ForkedChildHoldsNothingOfItsParentButTheMachinesTable) {
  const SyncStore store = make();
  store.check("a");
  sync(store, 30, 1, 3);
  store.check("a");
  reports(store, false);
  store.forked();
  EXPECT_EQ(store.instances(), 1u);
  EXPECT_THROW(store.apply(0, 1, {answer_of(store_case(), 1, 0, 0)}), std::invalid_argument);
  if (GetParam().machine) {
    // The parent's sync is in flight still; the child syncs once elected.
    EXPECT_EQ(store.keys_held(), 1u);
    EXPECT_EQ(admitted(store, "a", 50), 29u);
    return;
  }
  EXPECT_EQ(store.keys_held(), 0u);
  EXPECT_EQ(reports(store, false).size(), 0u);
  EXPECT_EQ(admitted(store, "a", 50), 20u);  // a new instance's credit, no lease
}

TEST_P(SyncStoreTest, AnswerOfAnotherShapeIsRefused) {
  const SyncStore store = make();
  store.check("a");
  reports(store, false);
  EXPECT_THROW(store.apply(0, 1, {SyncAnswer{1, {1}}}), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(EveryAlgorithm, SyncStoreTest, ::testing::ValuesIn(table_cases()),
                         [](const auto& info) {
                           std::string name = std::string(info.param.store.name) +
                                              (info.param.machine ? " machine" : "");
                           for (char& c : name) c = std::isalnum(c) ? c : '_';
                           return name;
                         });

// Kind-specific edges.
TEST(SyncStoreEdges, FixedWindowLeaseEndsWithItsWindow) {
  ManualClock clock;
  const SyncStore store(SyncKind::FixedWindow, {{100, 1000}}, SyncSettings{}, clock.clock());
  store.check("a");
  store.reports(false);
  store.apply(clock.now(), 1, {SyncAnswer{50, {51, static_cast<double>(clock.now())}}});
  clock.advance(1000);
  EXPECT_FALSE(store.check("a").allowed);  // a new window: the lease was the old one's
}

TEST(SyncStoreEdges, TokenBucketDebtIsPaidBackByRefill) {
  ManualClock clock;
  const SyncStore store(SyncKind::TokenBucket, {{100, 1000}}, SyncSettings{}, clock.clock());
  store.check("a");
  store.reports(false);
  // Redis took this process's and others' admissions into debt.
  store.apply(clock.now(), 1, {SyncAnswer{0, {-100, static_cast<double>(clock.now())}}});
  clock.advance(999);
  EXPECT_FALSE(store.check("a").allowed);
  EXPECT_GT(store.check("a").next_admission_ms.value_or(0), 0u);
}

TEST(SyncStoreEdges, EngineKeepsItsStoreAndCostRules) {
  ManualClock clock;
  const VornEngine engine("fixed_window", "active", std::nullopt, {{10, 1000}}, 1.0, std::nullopt,
                          {}, 60000, "", SyncSettings{}, clock.clock());
  ASSERT_NE(engine.sync_store(), nullptr);
  EXPECT_TRUE(engine.whole_costs());
  EXPECT_EQ(engine.policies().at(0).limit, 10u);
  EXPECT_TRUE(engine.check_request_with_identity("k", "ip", "/", 0).allowed);  // credit 1
  EXPECT_FALSE(engine.check_request_with_identity("k", "ip", "/", 0).allowed);
  engine.reset("k");
  EXPECT_TRUE(engine.sync_store()->reports(false).at(0).reset);
  clock.set_before_epoch();
  EXPECT_THROW(engine.check_request_with_identity("k", "ip", "/", 0), FatalError);
}

}  // namespace
}  // namespace vorn
