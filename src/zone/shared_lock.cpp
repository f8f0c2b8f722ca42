#include "zone/shared_lock.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <optional>

#include "zone/task_identity.h"
#include "zone/zone_error.h"

namespace vorn::zone {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int64_t> timeout_ms{5000};

constexpr uint64_t kWaiters = uint64_t{1} << 31;
constexpr uint64_t kTidMask = kWaiters - 1;

constexpr auto kFirstCheck = std::chrono::milliseconds(10);
constexpr auto kCheckEvery = std::chrono::milliseconds(50);
// A holder's critical section is a few hundred nanoseconds: a short spin
// usually sees it end without a sleep, a wake and two syscalls.
constexpr int kSpins = 100;

uint64_t identity(uint64_t word) { return word & ~kWaiters; }
pid_t holder_tid(uint64_t word) { return static_cast<pid_t>(word & kTidMask); }
uint32_t holder_stamp(uint64_t word) { return static_cast<uint32_t>(word >> 32); }

std::atomic_ref<uint64_t> owner_of(SharedLock* lock) {
  return std::atomic_ref<uint64_t>(lock->owner);
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// The futex is the half of the owner word that holds the thread id and the
// waiters bit. The kernel only reads it; nothing here writes it but the
// 64-bit compare-and-swaps.
uint32_t* futex_word(SharedLock* lock) {
  auto* halves = reinterpret_cast<uint32_t*>(&lock->owner);
  return std::endian::native == std::endian::little ? halves : halves + 1;
}

// Not the FUTEX_PRIVATE forms: sleepers and wakers may be in other processes.
// A relative timeout, which the kernel measures on CLOCK_MONOTONIC. Waking
// early for any reason (the word moved, a signal, the timeout) sends the
// caller round its loop again, so the result is not looked at.
void futex_wait(SharedLock* lock, uint32_t expected, Clock::duration timeout) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
  timespec relative{};
  relative.tv_sec = static_cast<time_t>(ns / 1000000000);
  relative.tv_nsec = static_cast<long>(ns % 1000000000);
  syscall(SYS_futex, futex_word(lock), FUTEX_WAIT, expected, &relative, nullptr, 0);
}

void futex_wake_one(SharedLock* lock) {
  syscall(SYS_futex, futex_word(lock), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// The calling thread's owner word, computed once per thread. A forked child's
// thread is a different thread, so the fork handler forgets the parent's.
constinit thread_local uint64_t self_word_cache = 0;

void forget_self_word() { self_word_cache = 0; }

[[gnu::noinline]] uint64_t compute_self_word() {
  [[maybe_unused]] static const bool registered =
      pthread_atfork(nullptr, nullptr, forget_self_word) == 0;
  const auto tid = static_cast<pid_t>(syscall(SYS_gettid));
  const uint32_t stamp = stamp_of(static_cast<uint32_t>(tid));  // 0 without /proc
  return (uint64_t{stamp} << 32) | (static_cast<uint64_t>(tid) & kTidMask);
}

uint64_t self_word() {
  const uint64_t cached = self_word_cache;
  if (cached != 0) return cached;
  return self_word_cache = compute_self_word();
}

struct Taken {
  uint64_t word;
  bool owner_died;
};

// The contended path: `seen` is the word that made the first attempt fail.
[[gnu::noinline]] Taken wait_for(SharedLock* lock, uint64_t me, uint64_t seen,
                                 const std::string& zone, std::string_view what) {
  std::atomic_ref<uint64_t> owner = owner_of(lock);
  const std::chrono::milliseconds timeout = lock_timeout();
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + timeout;
  Clock::time_point next_check = start + kFirstCheck;
  BlockingWait hook;
  bool slept = false;
  int spins = 0;
  for (;;) {
    if (seen == 0) {
      // A thread that slept takes the lock marked as waited for: others may
      // still sleep on it, and its release must wake the next of them.
      const uint64_t word = slept ? me | kWaiters : me;
      if (owner.compare_exchange_weak(seen, word, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
        return {word, false};
      }
      continue;
    }
    if (identity(seen) == me) {
      throw_zone_error(zone, std::string(what) + " is already held by this thread");
    }
    if (spins < kSpins) {
      ++spins;
      cpu_relax();
      seen = owner.load(std::memory_order_relaxed);
      continue;
    }
    const Clock::time_point now = Clock::now();
    if (now >= next_check) {
      if (holder_is_dead(seen)) {
        // From the exact word found dead: of two waiters that both saw it,
        // one takes it and the other sees the new word and waits on.
        const uint64_t word = me | kWaiters;
        if (owner.compare_exchange_strong(seen, word, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
          return {word, true};
        }
        continue;
      }
      next_check = now + kCheckEvery;
    }
    if (now >= deadline) {
      // A release may have woken this thread rather than another sleeper;
      // pass that wake on rather than strand the others until their checks.
      if (slept) futex_wake_one(lock);
      throw LockHeldTooLong("zone '" + zone + "': " + std::string(what) +
                                " was held for more than " + std::to_string(timeout.count()) +
                                " ms (a stopped process?)",
                            identity(seen));
    }
    if ((seen & kWaiters) == 0) {
      // The release compares the whole word, so it cannot miss this bit.
      if (!owner.compare_exchange_weak(seen, seen | kWaiters, std::memory_order_relaxed,
                                       std::memory_order_relaxed)) {
        continue;
      }
      seen |= kWaiters;
    }
    hook.begin();
    futex_wait(lock, static_cast<uint32_t>(seen), std::min(deadline, next_check) - now);
    slept = true;
    seen = owner.load(std::memory_order_relaxed);
  }
}

}  // namespace

std::chrono::milliseconds lock_timeout() {
  return std::chrono::milliseconds(timeout_ms.load(std::memory_order_relaxed));
}

void set_lock_timeout(std::chrono::milliseconds timeout) {
  timeout_ms.store(timeout.count(), std::memory_order_relaxed);
}



SharedLockGuard::SharedLockGuard(SharedLock* lock, const std::string& zone, std::string_view what)
    : lock_(lock), word_(self_word()) {
  uint64_t seen = 0;
  if (owner_of(lock).compare_exchange_strong(seen, word_, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
    return;
  }
  const Taken taken = wait_for(lock, word_, seen, zone, what);
  word_ = taken.word;
  owner_died_ = taken.owner_died;
}

SharedLockGuard::~SharedLockGuard() {
  std::atomic_ref<uint64_t> owner = owner_of(lock_);
  uint64_t seen = word_;
  while (
      !owner.compare_exchange_weak(seen, 0, std::memory_order_release, std::memory_order_relaxed)) {
    // A waiter may have set the waiters bit; any other change is a peer's
    // write, and the lock it left is not ours to free or to wake.
    if (identity(seen) != identity(word_)) return;
  }
  if ((seen & kWaiters) != 0) futex_wake_one(lock_);
}

bool SharedLockGuard::held() const {
  return identity(owner_of(lock_).load(std::memory_order_relaxed)) == identity(word_);
}

bool holder_is_dead(uint64_t word) {
  return !is_alive(TaskIdentity{static_cast<uint32_t>(holder_tid(word)), holder_stamp(word)});
}

uint64_t holder_of(const SharedLock& lock) {
  return identity(std::atomic_ref<uint64_t>(const_cast<uint64_t&>(lock.owner))
                      .load(std::memory_order_relaxed));
}

}  // namespace vorn::zone
