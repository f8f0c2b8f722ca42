// ReleaseGilWhileWaiting lets the interpreter's other threads run while a call
// into the engine waits for a lock (a zone's, or the engine's own while another
// thread waits on a zone). Install it with a ScopedWaitHook around the call.
//
// Thread-safety: one per call, on the stack of the thread that holds the GIL.
#pragma once

#include "core/wait_hook.h"
#include "python_api.h"

namespace vorn::python {

// Lets the interpreter's other threads run while a zone check waits for a
// lock, which a stopped or slow process may hold for seconds. Nothing that
// Python owns is touched meanwhile: the check's texts are views into str
// arguments that its bound arguments keep alive, and the engine lives inside
// `self`, which the caller holds. The GIL comes back only when the check is
// over, never while it holds a lock of its own: a thread in os.fork() keeps
// the GIL while the fork waits for those locks. One per check, on the stack.
class ReleaseGilWhileWaiting final : public WaitHook {
 public:
  ReleaseGilWhileWaiting() = default;
  ReleaseGilWhileWaiting(const ReleaseGilWhileWaiting&) = delete;
  ReleaseGilWhileWaiting& operator=(const ReleaseGilWhileWaiting&) = delete;
  ~ReleaseGilWhileWaiting() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }
  void before_wait() override {
    if (saved_ == nullptr) saved_ = PyEval_SaveThread();
  }
  void after_wait() override {}

 private:
  PyThreadState* saved_ = nullptr;
};

}  // namespace vorn::python
