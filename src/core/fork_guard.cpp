#include "core/fork_guard.h"

#include <pthread.h>

#include <atomic>
#include <new>

namespace vorn {

// One list of guards per level, in registration order. Never destroyed, so
// that a guarded lock with static storage can still unregister while the
// process exits.
class ForkGuardRegistry {
 public:
  // The registry, installing the fork handlers on first use. Throws
  // std::bad_alloc when they cannot be installed (pthread_atfork's only
  // failure), and tries again at the next call.
  static ForkGuardRegistry& instance() {
    static ForkGuardRegistry* const registry = [] {
      auto* created = new ForkGuardRegistry();
      if (pthread_atfork(&before_fork, &after_fork, &after_fork) != 0) {
        delete created;
        throw std::bad_alloc();
      }
      return created;
    }();
    return *registry;
  }

  void add(ForkGuard& guard) {
    std::unique_lock lock(mutex_);
    // Appended to a level the fork has yet to finish, the guard is taken in
    // time; a level it has passed would miss it.
    wait_for_fork(lock, [&] { return !forking_ || index(guard) >= level_being_taken_; });
    ForkGuard*& last = last_[index(guard)];
    guard.previous_ = last;
    (last != nullptr ? last->next_ : first_[index(guard)]) = &guard;
    last = &guard;
  }

  void remove(ForkGuard& guard) {
    std::unique_lock lock(mutex_);
    wait_for_fork(lock, [&] { return !guard.taken_; });
    (guard.previous_ != nullptr ? guard.previous_->next_ : first_[index(guard)]) = guard.next_;
    (guard.next_ != nullptr ? guard.next_->previous_ : last_[index(guard)]) = guard.previous_;
  }

 private:
  static constexpr size_t kLevels = static_cast<size_t>(LockLevel::Leaf) + 1;

  static size_t index(const ForkGuard& guard) { return static_cast<size_t>(guard.level_); }

  // Waits, with mutex_ released, until `ready()` holds; each fork's end is
  // when it may change. An atomic rather than a condition variable: the child
  // would inherit the waits of threads it does not have, and glibc's
  // condition variables wait for those waiters on a broadcast.
  template <typename Ready>
  void wait_for_fork(std::unique_lock<std::mutex>& lock, Ready ready) {
    while (!ready()) {
      const uint32_t seen = forks_done_.load(std::memory_order_relaxed);
      lock.unlock();
      forks_done_.wait(seen, std::memory_order_relaxed);
      lock.lock();
    }
  }

  static void before_fork() {
    ForkGuardRegistry& registry = instance();
    std::unique_lock lock(registry.mutex_);
    registry.wait_for_fork(lock, [&] { return !registry.forking_; });
    registry.forking_ = true;
    for (size_t level = 0; level < kLevels; ++level) {
      registry.level_being_taken_ = level;
      for (ForkGuard* guard = registry.first_[level]; guard != nullptr; guard = guard->next_) {
        guard->taken_ = true;  // keeps the guard in place while the lock is awaited
        lock.unlock();
        guard->acquire_(guard->context_);
        lock.lock();
      }
    }
    registry.level_being_taken_ = kLevels;
    // Kept through the fork: the child gets the lists as they were taken.
    lock.release();
  }

  // In the parent and in the child alike; the registry's mutex is still held
  // from before_fork.
  static void after_fork() {
    ForkGuardRegistry& registry = instance();
    for (ForkGuard* level : registry.first_) {
      for (ForkGuard* guard = level; guard != nullptr; guard = guard->next_) {
        if (!guard->taken_) continue;
        guard->release_(guard->context_);
        guard->taken_ = false;
      }
    }
    registry.forking_ = false;
    registry.forks_done_.fetch_add(1, std::memory_order_relaxed);
    registry.forks_done_.notify_all();
    registry.mutex_.unlock();
  }

  std::mutex mutex_;
  std::atomic<uint32_t> forks_done_{0};
  // mutex_ protects the following state.
  ForkGuard* first_[kLevels] = {};
  ForkGuard* last_[kLevels] = {};
  bool forking_ = false;
  size_t level_being_taken_ = 0;  // while forking_; kLevels once all are taken
};

ForkGuard::ForkGuard(LockLevel level, void* context, Hook acquire, Hook release)
    : context_(context), acquire_(acquire), release_(release), level_(level) {
  ForkGuardRegistry::instance().add(*this);
}

ForkGuard::~ForkGuard() { ForkGuardRegistry::instance().remove(*this); }

}  // namespace vorn
