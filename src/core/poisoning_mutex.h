// A PoisoningMutex<T> is an exclusive lock around a T that marks itself
// poisoned when a holder unwinds with an exception (a fatal failure). Once
// poisoned it stays poisoned: every later lock() throws FatalError with the
// message "called `Result::unwrap()` on an `Err` value: PoisonError { .. }".
// All methods are thread-safe.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <utility>

#include "algorithms/fatal_error.h"

namespace vorn {

template <typename T>
class PoisoningMutex {
 public:
  template <typename... Args>
  explicit PoisoningMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}

  PoisoningMutex(const PoisoningMutex&) = delete;
  PoisoningMutex& operator=(const PoisoningMutex&) = delete;

  // Holds the lock; poisons it if destroyed by unwinding.
  class Guard {
   public:
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_at_entry_) {
        owner_.poisoned_.store(true, std::memory_order_relaxed);
      }
    }
    T& operator*() const { return owner_.value_; }
    T* operator->() const { return &owner_.value_; }

   private:
    friend class PoisoningMutex;
    Guard(PoisoningMutex& owner, std::unique_lock<std::mutex> lock)
        : owner_(owner), lock_(std::move(lock)), exceptions_at_entry_(std::uncaught_exceptions()) {}
    PoisoningMutex& owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_entry_;
  };

  // Blocks until the lock is free. Throws FatalError if it is poisoned.
  Guard lock() {
    std::unique_lock lock(mutex_);
    if (poisoned_.load(std::memory_order_relaxed)) throw_unwrap_failure("PoisonError { .. }");
    return Guard(*this, std::move(lock));
  }

  bool is_poisoned() const { return poisoned_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  T value_;  // guarded by mutex_
};

}  // namespace vorn
