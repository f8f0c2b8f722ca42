// A fork while another thread holds a process-local lock must leave the lock
// free in the child. Each child here takes the lock and exits; one that waits
// on a lock copied held never ends, and is killed at a deadline.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "algorithms/sharded_map.h"
#include "core/engine.h"
#include "core/fork_guard.h"
#include "core/poisoning_mutex.h"
#include "zone_support.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;

// How long a holder keeps its lock once the fork may start.
constexpr auto kHold = 200ms;
// A child that takes longer than this waits on a lock that nobody will release.
constexpr auto kChildDeadline = 5s;

// Forks; the child runs `body` and exits 0 when it returns true.
pid_t start_child(const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    bool passed = false;
    try {
      passed = body();
    } catch (...) {
    }
    _exit(passed ? 0 : 1);
  }
  return child;
}

// How the child ended: "ok", "failed", "hung" (killed at the deadline) or
// "signal N".
std::string outcome_of(pid_t child) {
  if (child < 0) return "fork failed";
  const auto deadline = std::chrono::steady_clock::now() + kChildDeadline;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return "hung";
    }
    std::this_thread::sleep_for(1ms);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status) == 0 ? "ok" : "failed";
  return "signal " + std::to_string(WTERMSIG(status));
}

// Between a thread holding a lock and the thread that forks.
class Park {
 public:
  // Called with the lock held: lets the fork start, then keeps the lock.
  void hold() {
    parked_ = true;
    parked_.notify_all();
    std::this_thread::sleep_for(kHold);
    done_ = true;  // still inside the lock: a fork that waited for it sees this
  }
  void wait_until_parked() const { parked_.wait(false); }
  bool done() const { return done_; }
  // The holder outlives the fork: a thread that ended unjoined before it is
  // copied into the child as one, which ThreadSanitizer reports as a leak.
  void forked() {
    forked_ = true;
    forked_.notify_all();
  }
  void wait_until_forked() const { forked_.wait(false); }

 private:
  std::atomic<bool> parked_{false};
  std::atomic<bool> done_{false};
  std::atomic<bool> forked_{false};
};

// Forks while `hold`, on another thread, calls park.hold() inside a lock, and
// returns how the child running `in_child` ended.
std::string fork_while_held(const std::function<void(Park&)>& hold,
                            const std::function<bool()>& in_child) {
  Park park;
  std::thread holder([&] {
    hold(park);
    park.wait_until_forked();
  });
  park.wait_until_parked();
  const pid_t child = start_child(in_child);
  park.forked();
  const bool waited = park.done();
  std::string outcome = outcome_of(child);
  if (!waited) outcome += ", and the fork did not wait for the holder";
  holder.join();
  return outcome;
}

// Parks its first reader after arming inside the clock, and so inside every
// lock that reader holds.
class ParkingClock {
 public:
  Clock clock() const { return Clock(&read, this); }
  void park_next_reader(Park& park) { park_ = &park; }

 private:
  static uint64_t read(const void* self) {
    if (Park* park = static_cast<const ParkingClock*>(self)->park_.exchange(nullptr)) park->hold();
    return 1'700'000'000'000;
  }
  mutable std::atomic<Park*> park_{nullptr};
};

VornEngine make_engine(std::string_view algorithm, const Clock& clock = Clock::system()) {
  return VornEngine(algorithm, "active", std::string("telemetry-key"), 1e9, 1e9, 1.0, std::nullopt,
                    RateLimitOptions{}, 60000, "", clock);
}

bool admits(const VornEngine& engine, std::string_view key) {
  return engine.check_request_with_identity(std::nullopt, key, "/", 0).allowed;
}

TEST(ForkSafety, ChildChecksAfterAForkDuringAnotherThreadsCheck) {
  for (const char* algorithm : {"token_bucket", "sliding_window"}) {
    ParkingClock clock;
    const VornEngine engine = make_engine(algorithm, clock.clock());
    const std::string outcome = fork_while_held(
        [&](Park& park) {
          clock.park_next_reader(park);  // inside the limiter lock and the key's shard lock
          admits(engine, "198.51.100.7");
        },
        [&] { return admits(engine, "198.51.100.7") && engine.telemetry().size() >= 1; });
    EXPECT_EQ(outcome, "ok") << algorithm;
  }
}

// Inside a zone engine's check, whose limiter lock guards its zone connection:
// the child checks on the same zone and attaches another engine to it.
TEST(ForkSafety, AZoneEnginesChildChecksAndAttachesAfterAForkDuringACheck) {
  testing::ScratchZone zone("fork");
  ParkingClock clock;
  const VornEngine engine(testing::placement(zone.name()), "fixed_window", "active", std::nullopt,
                          1e9, 0, 1.0, std::nullopt, RateLimitOptions{}, 60000, "", clock.clock());
  const std::string outcome = fork_while_held(
      [&](Park& park) {
        clock.park_next_reader(park);
        admits(engine, "198.51.100.7");
      },
      [&] {
        const VornEngine other(testing::placement(zone.name()), "token_bucket", "active",
                               std::nullopt, 5, 0, 1.0, std::nullopt, RateLimitOptions{}, 60000,
                               "");
        return admits(engine, "198.51.100.7") && admits(other, "198.51.100.7") &&
               !other.zone_connection()->degraded();
      });
  EXPECT_EQ(outcome, "ok");
}

// Holders without any engine: the store's size() and direct entries take a
// shard lock alone, the queue's and the zone registry's locks are leaves.
TEST(ForkSafety, ChildTakesEachInnerLockAThreadHeld) {
  ShardedMap<int> map(4);
  EXPECT_EQ(fork_while_held(
                [&](Park& park) {
                  auto entry = map.entry_or_insert("held", [] { return 1; });
                  park.hold();
                },
                [&] {
                  const bool kept = *map.entry_or_insert("held", [] { return 2; }) == 1;
                  return kept && map.size() == 1;
                }),
            "ok");

  PoisoningMutex<int, LockLevel::Leaf> events(0);
  EXPECT_EQ(
      fork_while_held([&](Park& park) { events.with_lock([&](int&) { park.hold(); }); },
                      [&] { return events.with_lock([](int& count) { return ++count; }) == 1; }),
      "ok");

  static ForkSafeMutex registry(LockLevel::Leaf);  // static storage, like the registry's
  EXPECT_EQ(fork_while_held(
                [&](Park& park) {
                  std::lock_guard lock(registry);
                  park.hold();
                },
                [&] { return registry.try_lock(); }),
            "ok");
}

// A check may build a store under its limiter lock (a zone's local fallback
// does): registering the store must not wait for a fork that waits for that
// limiter lock. Run in a child of its own, since failing means a hung fork.
TEST(ForkSafety, AStoreBuiltUnderAHeldLimiterLockDoesNotStallTheFork) {
  const std::string outcome = outcome_of(start_child([] {
    PoisoningMutex<int> limiter(0);
    return fork_while_held(
               [&](Park& park) {
                 limiter.with_lock([&](int&) {
                   park.hold();  // the fork now waits for this lock
                   ShardedMap<int> fallback(4);
                   return *fallback.entry_or_insert("k", [] { return 1; });
                 });
               },
               [&] { return limiter.with_lock([](int& value) { return value == 0; }); }) == "ok";
  }));
  EXPECT_EQ(outcome, "ok");
}

// Checks in a loop hold the limiter, shard and telemetry locks most of the
// time, and other threads make and drop stores meanwhile: no fork among many
// may copy a lock held or the registry of guards torn.
TEST(ForkSafety, ForksAmidLoopsOfChecksNeverHangTheChild) {
  const VornEngine engine = make_engine("sliding_window");
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (unsigned n = 0; !stop; ++n)
        admits(engine, std::to_string(t) + "." + std::to_string(n % 512));
    });
  }
  threads.emplace_back([&] {
    while (!stop) admits(make_engine("token_bucket"), "192.0.2.1");
  });
  for (int round = 0; round < 100; ++round) {
    const std::string outcome = outcome_of(start_child([&] {
      return admits(engine, "203.0.113.9") && admits(make_engine("token_bucket"), "192.0.2.1");
    }));
    if (outcome != "ok") {
      ADD_FAILURE() << "fork " << round << ": " << outcome;
      break;
    }
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace vorn
