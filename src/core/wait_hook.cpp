#include "core/wait_hook.h"

namespace vorn {
namespace {

constinit thread_local WaitHook* current_hook = nullptr;

}  // namespace

ScopedWaitHook::ScopedWaitHook(WaitHook* hook) : previous_(current_hook) { current_hook = hook; }

ScopedWaitHook::~ScopedWaitHook() { current_hook = previous_; }

void BlockingWait::begin() {
  if (begun_) return;
  begun_ = true;
  WaitHook* hook = current_hook;
  if (hook == nullptr) return;
  hook->before_wait();
  called_ = hook;
}

}  // namespace vorn
