#include "zone/robust_lock.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "zone/zone_error.h"

namespace vorn::zone {
namespace {

std::atomic<int64_t> timeout_ms{5000};

// The kind word glibc keeps in every mutex made by initialise_robust_lock.
int reference_kind() {
  static const int kind = [] {
    pthread_mutex_t probe;
    std::memset(&probe, 0, sizeof probe);
    initialise_robust_lock(&probe);
    const int value = probe.__data.__kind;
    pthread_mutex_destroy(&probe);
    return value;
  }();
  return kind;
}

}  // namespace

bool initialise_robust_lock(pthread_mutex_t* lock) {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return false;
  bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
            pthread_mutex_init(lock, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  return ok;
}

bool lock_kind_intact(const pthread_mutex_t* lock) {
  const int kind =
      std::atomic_ref<int>(const_cast<int&>(lock->__data.__kind)).load(std::memory_order_relaxed);
  return kind == reference_kind();
}

std::chrono::milliseconds lock_timeout() {
  return std::chrono::milliseconds(timeout_ms.load(std::memory_order_relaxed));
}

void set_lock_timeout(std::chrono::milliseconds timeout) {
  timeout_ms.store(timeout.count(), std::memory_order_relaxed);
}

RobustLockGuard::RobustLockGuard(pthread_mutex_t* lock, const std::string& zone,
                                 std::string_view what)
    : lock_(lock) {
  if (!lock_kind_intact(lock)) throw_zone_error(zone, "damaged: " + std::string(what));
  int status = pthread_mutex_trylock(lock);
  if (status == EBUSY) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const int64_t ms = timeout_ms.load(std::memory_order_relaxed);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (ms % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000;
    }
    status = pthread_mutex_timedlock(lock, &deadline);
  }
  if (status == 0) return;
  if (status == EOWNERDEAD) {
    owner_died_ = true;
    return;
  }
  if (status == ETIMEDOUT) {
    throw_zone_error(zone, std::string(what) + " was held for more than " +
                               std::to_string(timeout_ms.load(std::memory_order_relaxed)) +
                               " ms (a stopped process?)");
  }
  if (status == ENOTRECOVERABLE) {
    throw_zone_error(zone, std::string(what) + " is unrecoverable; remove the zone");
  }
  throw_zone_error(zone, std::string(what) + " cannot be taken: " + std::strerror(status));
}

void RobustLockGuard::mark_consistent() {
  if (owner_died_) {
    pthread_mutex_consistent(lock_);
    owner_died_ = false;
  }
}

RobustLockGuard::~RobustLockGuard() { pthread_mutex_unlock(lock_); }

}  // namespace vorn::zone
