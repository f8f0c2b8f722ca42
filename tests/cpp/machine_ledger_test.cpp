// A machine's table of synced keys, shared by processes through its file: one
// process syncs for all, a dead one's sync is taken over, and a file that is
// garbage, scribbled on or cut short never takes a process down.
#include "sync/machine_ledger.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sync/sync_key.h"
#include "sync/sync_store.h"
#include "test_clock.h"
#include "zone/zone_error.h"

namespace vorn {
namespace {

using testing::ManualClock;

class MachineLedgerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vorn-machine-ledger-XXXXXX";
    directory_ = mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  SyncStore make(std::optional<uint64_t> bytes = std::nullopt) const {
    SyncSettings settings;
    settings.interval_ms = 100;
    settings.max_keys = 4096;
    settings.zone = ZonePlacement{"machine", bytes, directory_, {}};
    settings.zone_scope = "vorn:sync{test}:";
    return SyncStore(SyncKind::TokenBucket, {{1000, 60000}}, settings, clock.clock());
  }
  std::string ledger_path() const {
    for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
      return entry.path().string();
    }
    return {};
  }
  static size_t admitted(const SyncStore& store, std::string_view key, size_t tries) {
    size_t passed = 0;
    for (size_t i = 0; i < tries; ++i) passed += store.check(key).allowed ? 1 : 0;
    return passed;
  }
  // Runs `child` in a forked process and gives its exit status.
  template <typename Child>
  static int in_child(Child&& child) {
    const pid_t pid = fork();
    if (pid == 0) _exit(child());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
  }

  ManualClock clock;
  std::string directory_;
};

TEST_F(MachineLedgerTest, ProcessesShareOneTableAndOneSyncsForAll) {
  const SyncStore elected = make();
  ASSERT_TRUE(elected.shares_machine()) << elected.ledger_problem();
  ASSERT_TRUE(elected.sync_turn());
  EXPECT_EQ(admitted(elected, "a", 5), 5u);
  // Another process: not its turn, and the credit of the one table is spent.
  EXPECT_EQ(in_child([&] {
              const SyncStore other = make();
              if (other.sync_turn()) return 1;
              return static_cast<int>(admitted(other, "a", 50));
            }),
            15);
  const std::vector<SyncReport> sent = elected.reports(false);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].extra, 20.0);
  elected.apply(clock.now(), 2, {SyncAnswer{30, {950, static_cast<double>(clock.now())}}});
  // Every process spends the machine's lease and divides the credit by machines.
  EXPECT_EQ(in_child([&] { return static_cast<int>(admitted(make(), "a", 50)); }), 30);
  EXPECT_EQ(admitted(elected, "b", 50), 10u);
}

TEST_F(MachineLedgerTest, DeadSyncingProcessIsTakenOverAndItsReportsSentAgain) {
  ASSERT_EQ(in_child([&] {
              const SyncStore dying = make();
              if (!dying.sync_turn()) return 1;
              admitted(dying, "a", 7);
              return dying.reports(false).size() == 1 ? 0 : 2;  // dies with it in flight
            }),
            0);
  const SyncStore heir = make();
  ASSERT_TRUE(heir.sync_turn());
  const std::vector<SyncReport> sent = heir.reports(false);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].extra, 7.0);
}

TEST_F(MachineLedgerTest, LiveSyncingProcessKeepsItsTurnUntilItStopsRenewing) {
  const SyncStore first = make();
  ASSERT_TRUE(first.sync_turn());
  EXPECT_EQ(in_child([&] { return make().sync_turn() ? 1 : 0; }), 0);
  clock.advance(300);  // three intervals without a renewal
  EXPECT_EQ(in_child([&] { return make().sync_turn() ? 1 : 0; }), 1);
}

TEST_F(MachineLedgerTest, DegradedIsTheSyncingProcesssWordForTheMachine) {
  const SyncStore elected = make();
  ASSERT_TRUE(elected.sync_turn());
  elected.reports(false);
  elected.failed();
  EXPECT_EQ(in_child([&] {
              const SyncStore other = make();
              other.set_degraded(true);  // its own last sync, before it lost its turn
              if (other.sync_turn()) return 1;
              return other.degraded() ? 0 : 2;
            }),
            0);
  elected.reports(false);
  elected.apply(clock.now(), 1, {});
  EXPECT_EQ(in_child([&] {
              const SyncStore other = make();
              other.set_degraded(true);
              if (other.sync_turn()) return 1;
              return other.degraded() ? 2 : 0;
            }),
            0);
}

TEST_F(MachineLedgerTest, SizeGivenMakesTheFileThatSizeAndNeverResizesIt) {
  EXPECT_THROW(make(1024), zone::ZoneRefusal);
  { make(512 * 1024); }
  const auto made = std::filesystem::file_size(ledger_path());
  EXPECT_LE(made, 512u * 1024);
  EXPECT_GT(made, 256u * 1024);
  { make(8 << 20); }
  EXPECT_EQ(std::filesystem::file_size(ledger_path()), made);
}

TEST_F(MachineLedgerTest, GarbageFileIsReplacedByAFreshOne) {
  { make(); }
  const std::string path = ledger_path();
  std::vector<char> garbage(8192, 'x');
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, garbage.data(), garbage.size()), static_cast<ssize_t>(garbage.size()));
  close(fd);
  const SyncStore store = make();
  EXPECT_TRUE(store.shares_machine());
  EXPECT_EQ(admitted(store, "a", 50), 20u);
}

TEST_F(MachineLedgerTest, ScribbledFileNeverCrashesAndItsKeysStartFresh) {
  const SyncStore store = make();
  ASSERT_TRUE(store.sync_turn());
  for (int i = 0; i < 200; ++i) store.check("key" + std::to_string(i));
  store.reports(false);
  const int fd = open(ledger_path().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const off_t size = lseek(fd, 0, SEEK_END);
  std::mt19937_64 random(7);
  std::vector<uint64_t> noise(static_cast<size_t>(size) / 8);
  for (uint64_t& word : noise) word = random();
  // Everything past the header and the election: geometry is copied at attach.
  ASSERT_EQ(pwrite(fd, noise.data() + 512, noise.size() * 8 - 4096, 4096),
            static_cast<ssize_t>(noise.size() * 8 - 4096));
  close(fd);
  for (int i = 0; i < 200; ++i) {
    const AlgorithmResult result = store.check("key" + std::to_string(i));
    EXPECT_LE(result.remaining, 1000u);
  }
  EXPECT_NO_THROW(store.sync_turn());
  EXPECT_NO_THROW(store.reports(false));
  EXPECT_NO_THROW(store.failed());
}

TEST_F(MachineLedgerTest, FileCutShortLeavesEachProcessSyncingAlone) {
  const SyncStore store = make();
  ASSERT_TRUE(store.sync_turn());
  admitted(store, "a", 3);
  ASSERT_EQ(truncate(ledger_path().c_str(), 0), 0);
  EXPECT_EQ(admitted(store, "a", 50), 20u);  // this process's own table, its own credit
  EXPECT_FALSE(store.shares_machine());
  EXPECT_TRUE(store.sync_turn());
  const std::vector<SyncReport> sent = store.reports(false);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].extra, 20.0);
}

}  // namespace
}  // namespace vorn
