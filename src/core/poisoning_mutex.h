// A PoisoningMutex<T> is an exclusive lock around a T that marks itself
// poisoned when a call holding it fails with an exception (a fatal failure).
// Two failures pass through without poisoning, since the value is whole after
// either: a ZoneError (a shared zone found damaged, its change undone) and
// std::bad_alloc (a failed allocation leaves what these locks keep whole: a
// store's table grows before it inserts, a request log before it appends).
// Once poisoned it stays poisoned: every later with_lock() throws FatalError
// with the message "called `Result::unwrap()` on an `Err` value:
// PoisonError { .. }".
//
// The lock is a ForkSafeMutex at `Level` (by default the engine's limiter
// lock's): a fork never leaves it held. A with_lock() that must block calls
// the thread's wait hook around the wait. All methods are thread-safe.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#include "algorithms/fatal_error.h"
#include "core/fork_guard.h"
#include "core/wait_hook.h"
#include "zone/zone_error.h"

namespace vorn {

template <typename T, LockLevel Level = LockLevel::Limiter>
class PoisoningMutex {
 public:
  template <typename... Args>
  explicit PoisoningMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}

  PoisoningMutex(const PoisoningMutex&) = delete;
  PoisoningMutex& operator=(const PoisoningMutex&) = delete;

  // Runs `body(value)` holding the lock (blocking until it is free) and
  // returns what it returns. Throws FatalError if the lock is poisoned; if
  // `body` throws, the lock is poisoned and the exception goes on. The lock is
  // released either way. Poisoning is done in a handler rather than by a guard
  // asking std::uncaught_exceptions(), so the success path costs nothing extra.
  template <typename Body>
  decltype(auto) with_lock(Body&& body) {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      // A host whose other threads must run while this one blocks (CPython,
      // whose GIL a zone check gives up while it waits for the zone) hears
      // of the wait; the holder may need that host lock back to finish.
      BlockingWait wait;
      wait.begin();
      lock.lock();
    }
    return run_poisoning(std::forward<Body>(body));
  }

  // Runs `body(value)` without the lock, for a caller whose value is safe to
  // use from several threads at once; poisoned and poisoning as with_lock.
  template <typename Body>
  decltype(auto) without_lock(Body&& body) {
    return run_poisoning(std::forward<Body>(body));
  }

  bool is_poisoned() const { return poisoned_.load(std::memory_order_relaxed); }

 private:
  // Runs `body(value)` unless poisoned; any failure but a zone's or a failed
  // allocation poisons for good.
  template <typename Body>
  decltype(auto) run_poisoning(Body&& body) {
    if (poisoned_.load(std::memory_order_relaxed)) throw_unwrap_failure("PoisonError { .. }");
    try {
      return std::forward<Body>(body)(value_);
    } catch (const ZoneError&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      poisoned_.store(true, std::memory_order_relaxed);
      throw;
    }
  }

  ForkSafeMutex mutex_{Level};
  std::atomic<bool> poisoned_{false};
  T value_;  // guarded by mutex_
};

}  // namespace vorn
