// A WaitHook hears when its thread is about to block on a contended lock and
// when that wait is over, so that a host can let its other threads run
// meanwhile (CPython releases its GIL). before_wait() is called once, before
// the thread first blocks, with no lock of this library held by the wait;
// after_wait() is called once when the wait ends: just after the lock was
// taken, or while a failed wait unwinds. A lock taken without blocking calls
// neither. Neither may throw or take a lock of this library; after_wait()
// runs with the lock just taken held, so a host lock that a forking thread
// keeps (CPython's GIL) must not be taken back there but once the whole call
// is over.
//
// The hook is per thread: ScopedWaitHook installs one for a scope, and a
// BlockingWait calls the installed one around one wait. Both are for one
// thread's use.
#pragma once

namespace vorn {

class WaitHook {
 public:
  virtual void before_wait() = 0;
  virtual void after_wait() = 0;

 protected:
  ~WaitHook() = default;
};

// Installs `hook` (may be null: none) as the calling thread's wait hook for one
// scope, and puts back the one installed before.
class ScopedWaitHook {
 public:
  explicit ScopedWaitHook(WaitHook* hook);
  ScopedWaitHook(const ScopedWaitHook&) = delete;
  ScopedWaitHook& operator=(const ScopedWaitHook&) = delete;
  ~ScopedWaitHook();

 private:
  WaitHook* previous_;
};

// One wait: begin() before the first time the thread blocks (again: a no-op),
// and the hook's after_wait() when the BlockingWait goes, however the wait
// ended. A wait that never began calls nothing.
class BlockingWait {
 public:
  BlockingWait() = default;
  BlockingWait(const BlockingWait&) = delete;
  BlockingWait& operator=(const BlockingWait&) = delete;
  ~BlockingWait() {
    if (called_ != nullptr) called_->after_wait();
  }
  void begin();

 private:
  bool begun_ = false;
  WaitHook* called_ = nullptr;
};

}  // namespace vorn
