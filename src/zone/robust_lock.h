// A RobustLockGuard holds a process-shared robust mutex that lives in a zone,
// for one scope. Locking waits at most lock_timeout(); a holder that died with
// the lock is reported by owner_died(), and the guard's owner must repair what
// the lock protects and call mark_consistent() before the guard is destroyed,
// or the lock becomes unusable for everyone (the library's other users then
// get a ZoneError). Every failure to lock throws ZoneError naming the zone and
// the lock. Not copyable; used by one thread.
#pragma once

#include <pthread.h>

#include <chrono>
#include <string>
#include <string_view>

namespace vorn::zone {

// Makes `lock` a process-shared, robust, error-checking mutex. False on failure.
bool initialise_robust_lock(pthread_mutex_t* lock);

// How long a lock is waited for before the zone is reported as stuck. Test
// seams: the fuzzer shortens it, since a garbage lock word may look held.
std::chrono::milliseconds lock_timeout();
void set_lock_timeout(std::chrono::milliseconds timeout);

class RobustLockGuard {
 public:
  RobustLockGuard(pthread_mutex_t* lock, const std::string& zone, std::string_view what);
  RobustLockGuard(const RobustLockGuard&) = delete;
  RobustLockGuard& operator=(const RobustLockGuard&) = delete;
  ~RobustLockGuard();

  bool owner_died() const { return owner_died_; }
  // Declares the protected data repaired; required after owner_died().
  void mark_consistent();

 private:
  pthread_mutex_t* lock_;
  bool owner_died_ = false;
};

}  // namespace vorn::zone
