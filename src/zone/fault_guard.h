// A FaultGuard keeps a process alive when the file behind one of its shared
// mappings is truncated by someone else. Touching a page past the file's new
// end raises SIGBUS; the guard's handler, finding the address inside a
// guarded mapping, maps private zero pages over the part past the file's end
// (from the faulting page on, at least) and returns, so the access completes
// on memory that no other process sees, and marks the mapping faulted. The
// owner asks faulted() after its accesses and stops trusting what it read.
// A SIGBUS anywhere else goes to whatever handled it before.
//
// Up to 256 mappings are guarded at once; beyond that a mapping goes
// unguarded (guarded() is false). Construction and destruction are
// thread-safe; faulted() may be asked from any thread, and from the handler.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::zone {

class FaultGuard {
 public:
  // Guards [base, base + size), a MAP_SHARED mapping of the file `fd`, which
  // must stay open and mapped until the guard goes.
  FaultGuard(void* base, size_t size, int fd);
  FaultGuard(const FaultGuard&) = delete;
  FaultGuard& operator=(const FaultGuard&) = delete;
  ~FaultGuard();

  bool guarded() const { return slot_ >= 0; }
  // Stops guarding; the owner calls it before unmapping, so that no later
  // mapping at the same addresses is taken for this one. Idempotent.
  void stop();
  // Whether a SIGBUS was absorbed inside the mapping since the guard began.
  bool faulted() const;

 private:
  int slot_ = -1;
};

}  // namespace vorn::zone
