// An RwLock is a reader-writer lock in one 32-bit word: a writer bit and a
// reader count. Uncontended, locking and unlocking are one atomic operation
// each; a contended caller sleeps in std::atomic::wait rather than spinning.
// Writers are not preferred, which suits the stores: their checks only ever
// take the exclusive side. Satisfies Lockable and SharedLockable, so it works
// with std::unique_lock and std::shared_lock. unlock() asks no owner, so after
// a fork the child's one thread may release what the forking thread took
// before it (see ForkGuard). All methods are thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

namespace vorn {

class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock() {
    uint32_t expected = kFree;
    while (!state_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      if (expected != kFree) state_.wait(expected, std::memory_order_relaxed);
      expected = kFree;
    }
  }

  bool try_lock() {
    uint32_t expected = kFree;
    return state_.compare_exchange_strong(expected, kWriter, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void unlock() {
    state_.store(kFree, std::memory_order_release);
    state_.notify_all();
  }

  void lock_shared() {
    uint32_t current = state_.load(std::memory_order_relaxed);
    while (true) {
      if (current & kWriter) {
        state_.wait(current, std::memory_order_relaxed);
        current = state_.load(std::memory_order_relaxed);
      } else if (state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
        return;
      }
    }
  }

  void unlock_shared() {
    if (state_.fetch_sub(1, std::memory_order_release) == 1) state_.notify_all();
  }

 private:
  static constexpr uint32_t kFree = 0;
  static constexpr uint32_t kWriter = 1u << 31;
  std::atomic<uint32_t> state_{kFree};
};

}  // namespace vorn
