#include "zone/shared_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "zone/zone_error.h"

namespace vorn::zone {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Region {
  SharedLock lock;
  uint64_t counter;
  uint32_t arrived;
};

// A zeroed page every forked child shares with the test.
Region* shared_region() {
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(page, MAP_FAILED);
  return static_cast<Region*>(page);
}

// Forks a child that takes `lock`, never releases it, and then stops itself
// (or pauses, to be killed). Returns once the child holds the lock.
pid_t hold_in_child(SharedLock* lock, bool stop) {
  int ready[2];
  EXPECT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    // Parsed naively, this name would make the holder's state read 'Z'.
    prctl(PR_SET_NAME, "x) Z 1 (");
    [[maybe_unused]] auto* held = new SharedLockGuard(lock, "z", "the lock");
    if (write(ready[1], "x", 1) != 1) _exit(1);
    if (stop) raise(SIGSTOP);
    for (;;) pause();
  }
  char byte = 0;
  EXPECT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  close(ready[1]);
  return child;
}

// Takes the lock and reports whether its previous holder had died.
bool taken_from_the_dead(SharedLock* lock) {
  const Clock::time_point start = Clock::now();
  SharedLockGuard guard(lock, "z", "the lock");
  EXPECT_LT(Clock::now() - start, 1s);
  return guard.owner_died();
}

TEST(SharedLock, ExcludesEveryThreadOfTwoProcesses) {
  Region* region = shared_region();
  constexpr int kThreads = 2, kRounds = 20000;
  const auto count = [region] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([region] {
        // All start together, so that they contend from the first round.
        std::atomic_ref<uint32_t> arrived(region->arrived);
        arrived.fetch_add(1);
        while (arrived.load() < 2 * kThreads) std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i) {
          SharedLockGuard guard(&region->lock, "z", "the lock");
          const uint64_t value = region->counter;
          std::atomic_signal_fence(std::memory_order_seq_cst);  // keep the gap open
          region->counter = value + 1;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  };
  const pid_t child = fork();
  if (child == 0) {
    count();
    _exit(0);
  }
  count();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(region->counter, uint64_t{2 * kThreads * kRounds});
}

TEST(SharedLock, AHolderThatDiedIsTakenOverOnceWithinASecond) {
  Region* region = shared_region();
  for (const bool reap : {true, false}) {
    const pid_t child = hold_in_child(&region->lock, false);
    kill(child, SIGKILL);
    siginfo_t info{};
    // Without reaping, the holder stays a zombie, whose id still answers kill(pid, 0).
    ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | (reap ? 0 : WNOWAIT)), 0);
    EXPECT_TRUE(taken_from_the_dead(&region->lock)) << reap;
    EXPECT_FALSE(taken_from_the_dead(&region->lock)) << reap;
    if (!reap) waitpid(child, nullptr, 0);
  }
  // A thread that ended holding it, in a process that lives on, found dead by
  // several waiters at once: one of them takes it over.
  std::optional<SharedLockGuard> abandoned;
  std::thread([&] { abandoned.emplace(&region->lock, "z", "the lock"); }).join();
  std::atomic<int> takeovers{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] { takeovers += taken_from_the_dead(&region->lock); });
  }
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(takeovers, 1);
}

TEST(SharedLock, AnyGarbageWordIsTakenOverLikeADeadHolder) {
  SharedLock lock{};
  uint64_t mine = 0;
  {
    SharedLockGuard guard(&lock, "z", "the lock");
    mine = lock.owner;
    // A recursive lock, or a word forged to name this very thread, fails at once.
    EXPECT_THROW(SharedLockGuard(&lock, "z", "the lock"), ZoneError);
  }
  const uint64_t this_thread_wrong_stamp = mine ^ (uint64_t{1} << 32);
  const uint64_t garbage[] = {
      ~uint64_t{0},          uint64_t{1} << 31,         0xdeadbeefULL << 32,
      0x0123456789abcdefULL, (0xdeadbeefULL << 32) | 1, this_thread_wrong_stamp};
  for (const uint64_t word : garbage) {
    std::memset(&lock, 0xff, sizeof lock);
    lock.owner = word;
    EXPECT_TRUE(taken_from_the_dead(&lock)) << std::hex << word;
    EXPECT_EQ(lock.owner, 0u) << std::hex << word;
  }
}

// Counts its calls, and notes whether this thread held the lock at each.
struct CountingHook : WaitHook {
  explicit CountingHook(SharedLock* lock) : lock(lock) {}
  bool holding() const {
    return (std::atomic_ref<uint64_t>(lock->owner).load() & 0x7fffffff) == uint64_t(gettid());
  }
  void before_wait() override {
    ++before;
    held_before = holding();
  }
  void after_wait() override {
    ++after;
    held_after = holding();
  }
  SharedLock* lock;
  int before = 0, after = 0;
  bool held_before = false, held_after = false;
};

TEST(SharedLock, AStoppedHolderFailsTheWaiterAfterTheTimeout) {
  Region* region = shared_region();
  const pid_t child = hold_in_child(&region->lock, true);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
  const std::chrono::milliseconds saved = lock_timeout();
  set_lock_timeout(300ms);
  CountingHook hook(&region->lock);
  ScopedWaitHook scope(&hook);
  const Clock::time_point start = Clock::now();
  try {
    SharedLockGuard guard(&region->lock, "z", "the lock");
    ADD_FAILURE() << "a stopped holder's lock was taken";
  } catch (const ZoneError& error) {
    EXPECT_STREQ(error.what(),
                 "zone 'z': the lock was held for more than 300 ms (a stopped process?)");
  }
  EXPECT_GE(Clock::now() - start, 300ms);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(hook.before, 1);
  EXPECT_EQ(hook.after, 1);  // while the ZoneError unwinds
  EXPECT_FALSE(hook.held_after);
  set_lock_timeout(saved);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(SharedLock, AHolderWhoseWordAPeerOverwroteWritesNothingOnRelease) {
  struct Fenced {
    unsigned char before[64];
    SharedLock lock;
    unsigned char after[64];
  } fenced;
  std::memset(&fenced, 0xa5, sizeof fenced);
  fenced.lock = SharedLock{};
  // Words that look like pointers into the fences, for a lock that followed them.
  for (uint64_t& word : fenced.lock.unused) word = reinterpret_cast<uintptr_t>(fenced.before);
  const uint64_t peer = reinterpret_cast<uintptr_t>(fenced.after) | (uint64_t{1} << 31);
  {
    SharedLockGuard guard(&fenced.lock, "z", "the lock");
    EXPECT_TRUE(guard.held());
    std::atomic_ref<uint64_t>(fenced.lock.owner).store(peer);
    EXPECT_FALSE(guard.held());
  }
  EXPECT_EQ(fenced.lock.owner, peer);
  for (const uint64_t word : fenced.lock.unused) EXPECT_EQ(word, uintptr_t(fenced.before));
  for (const unsigned char byte : fenced.before) EXPECT_EQ(byte, 0xa5);
  for (const unsigned char byte : fenced.after) EXPECT_EQ(byte, 0xa5);
}

TEST(SharedLockWaitHook, RunsOnceAroundAContendedWaitAndNeverWithoutOne) {
  SharedLock lock{};
  CountingHook hook(&lock);
  ScopedWaitHook scope(&hook);
  { SharedLockGuard free(&lock, "z", "the lock"); }
  EXPECT_EQ(hook.before + hook.after, 0);
  std::atomic<bool> holding{false};
  std::thread holder([&] {
    SharedLockGuard guard(&lock, "z", "the lock");
    holding = true;
    std::this_thread::sleep_for(100ms);
  });
  while (!holding) std::this_thread::yield();
  { SharedLockGuard contended(&lock, "z", "the lock"); }
  holder.join();
  EXPECT_EQ(hook.before, 1);
  EXPECT_EQ(hook.after, 1);
  EXPECT_FALSE(hook.held_before);
  EXPECT_TRUE(hook.held_after);
}

}  // namespace
}  // namespace vorn::zone
