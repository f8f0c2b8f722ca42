#include "core/fork_guard.h"

#include <pthread.h>

#include <new>

namespace vorn {

// One list of guards per level, newest first. Never destroyed, so that a
// guarded lock with static storage can still unregister while the process
// exits.
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
    std::lock_guard lock(mutex_);
    ForkGuard*& first = first_[static_cast<size_t>(guard.level_)];
    guard.next_ = first;
    if (first != nullptr) first->previous_ = &guard;
    first = &guard;
  }

  void remove(ForkGuard& guard) {
    std::lock_guard lock(mutex_);
    if (guard.previous_ != nullptr) {
      guard.previous_->next_ = guard.next_;
    } else {
      first_[static_cast<size_t>(guard.level_)] = guard.next_;
    }
    if (guard.next_ != nullptr) guard.next_->previous_ = guard.previous_;
  }

 private:
  static constexpr size_t kLevels = static_cast<size_t>(LockLevel::ZoneRegistry) + 1;

  // The mutex is held from here to after_fork, which keeps every guard
  // registered meanwhile alive and in place.
  static void before_fork() {
    ForkGuardRegistry& registry = instance();
    registry.mutex_.lock();
    for (ForkGuard* level : registry.first_) {
      for (ForkGuard* guard = level; guard != nullptr; guard = guard->next_) {
        guard->acquire_(guard->context_);
      }
    }
  }

  // Runs in the parent and in the child alike. Releasing never blocks, so
  // the order does not matter.
  static void after_fork() {
    ForkGuardRegistry& registry = instance();
    for (ForkGuard* level : registry.first_) {
      for (ForkGuard* guard = level; guard != nullptr; guard = guard->next_) {
        guard->release_(guard->context_);
      }
    }
    registry.mutex_.unlock();
  }

  std::mutex mutex_;
  // mutex_ protects the following state.
  ForkGuard* first_[kLevels] = {};
};

ForkGuard::ForkGuard(LockLevel level, void* context, Hook acquire, Hook release)
    : context_(context), acquire_(acquire), release_(release), level_(level) {
  ForkGuardRegistry::instance().add(*this);
}

ForkGuard::~ForkGuard() { ForkGuardRegistry::instance().remove(*this); }

}  // namespace vorn
