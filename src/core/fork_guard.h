// A ForkGuard keeps a process-local lock from being copied into a child held.
// fork() copies only the calling thread: a lock another thread held at that
// moment stays held in the child for good, and the child hangs at its next
// check. While a ForkGuard lives, every fork() in the process first acquires
// its lock (waiting for the holder to leave) and, once the process is copied,
// releases it in the parent and in the child. The child so starts with every
// guarded lock free and every guarded structure as some holder left it, whole.
//
// Guards sit in one registry. Before a fork the forking thread takes every
// guarded lock, level by level in the order of LockLevel; after it, it
// releases them all. The registry's own mutex is held between those
// acquisitions but never while one waits, so a thread can register a lock
// while a fork waits for a lock that thread holds. This cannot deadlock as
// long as the code keeps these rules:
// - a lock's level comes after the level of every lock that may be held when
//   it is taken (the levels follow the engine's lock order, see engine.h);
// - no code holds two locks of one level at once, so order within a level is
//   free (for Leaf it holds by definition);
// - a thread holding guarded locks constructs or destroys only locks of later
//   levels (a check may build a store under its limiter lock): a lock whose
//   level the fork has passed waits to register until the fork ends, and a
//   lock the fork has taken waits to go;
// - no thread forks while it holds a guarded lock: it would wait for itself;
// - no holder of a guarded lock waits for a lock that a forking thread keeps
//   across fork(), such as CPython's GIL, which os.fork() holds: a host that
//   lets the GIL go during a check takes it back only once the check is done.
//
// Registering costs the registry mutex once at a lock's construction and once
// at its destruction; taking and releasing the lock costs nothing more.
//
// In the child the locks are released by the one thread there, the copy of the
// forking thread. A std::mutex (a pthread mutex of the default type) does not
// check its owner on unlock, so that is sound. A write-locked std::shared_mutex
// is not: glibc tells a writer's unlock from a reader's by the thread id, which
// changes in the child; none is guarded here. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <mutex>

#if defined(__SANITIZE_THREAD__)
#define VORN_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORN_THREAD_SANITIZER 1
#endif
#endif
#ifdef VORN_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace vorn {

// The order in which a fork takes guarded locks, outermost first.
enum class LockLevel : uint8_t {
  Limiter,  // an engine's limiter lock, held around every limiter call
  Shard,    // a store's shard locks: under a limiter lock or alone
  // A lock whose holder takes no other guarded lock, so no two are ever held
  // together: a telemetry queue's, the zone registry's.
  Leaf,
};

class ForkGuard {
 public:
  using Hook = void (*)(void* context) noexcept;

  // Registers `acquire(context)`, which must block until it holds the lock,
  // and `release(context)`, run in the parent and in the child. Throws
  // std::bad_alloc if the fork handlers cannot be installed.
  ForkGuard(LockLevel level, void* context, Hook acquire, Hook release);
  ~ForkGuard();

  ForkGuard(const ForkGuard&) = delete;
  ForkGuard& operator=(const ForkGuard&) = delete;

 private:
  friend class ForkGuardRegistry;

  void* context_;
  Hook acquire_;
  Hook release_;
  LockLevel level_;
  // The registry's mutex protects the following state.
  ForkGuard* previous_ = nullptr;
  ForkGuard* next_ = nullptr;
  bool taken_ = false;  // by a fork, from before acquire_ until release_
};

// A std::mutex that a fork never leaves held, for a drop-in replacement.
// Satisfies Lockable; lock() and unlock() are std::mutex's own.
class ForkSafeMutex {
 public:
  explicit ForkSafeMutex(LockLevel level) : guard_(level, &mutex_, &lock_hook, &unlock_hook) {}

  void lock() { mutex_.lock(); }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  // libstdc++'s std::mutex ends without a word, and ThreadSanitizer forgets a
  // lock only when its memory is freed: a later lock in the same stack slot
  // would inherit this one's place in the lock order, and a fork, which holds
  // every guarded lock at once, would then look like an inversion of levels.
  struct Mutex : std::mutex {
#ifdef VORN_THREAD_SANITIZER
    ~Mutex() { __tsan_mutex_destroy(native_handle(), 0); }
#endif
  };

  static void lock_hook(void* mutex) noexcept { static_cast<Mutex*>(mutex)->lock(); }
  static void unlock_hook(void* mutex) noexcept { static_cast<Mutex*>(mutex)->unlock(); }

  Mutex mutex_;
  ForkGuard guard_;  // after mutex_: unregistered before the mutex goes
};

}  // namespace vorn
