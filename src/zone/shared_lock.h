// A SharedLock is a mutual-exclusion lock that lives in a zone, shared by every
// thread of every process that maps the zone. It is one 64-byte line, and the
// line of all zeros is a free, valid lock: a freshly zeroed region needs no
// initialisation. A SharedLockGuard holds one for one scope.
//
// The first word names the holder: bits 0-30 its thread id (gettid(); Linux
// keeps thread ids below 2^22), bit 31 set when a waiter may be asleep on the
// lock, bits 32-63 the low 32 bits of the holder thread's start time in clock
// ticks (/proc/<tid>/stat, field 22). A thread id is unique only while its
// thread lives; the start time tells a reused id from its first owner. The low
// half is the futex waiters sleep on. The other seven words are not used.
//
// Invariants:
// - The lock writes its own first word and nothing else. No word read from
//   the zone is followed anywhere: a peer that scribbles on the line can make
//   the lock wrongly free or wrongly held, never steer a write outside it.
// - A holder that died (a missing thread, a zombie, a reused thread id) is
//   taken over by the first waiter to see it, through one compare-and-swap
//   from the exact word seen, so two waiters never both take it; that guard
//   reports owner_died(). Any garbage word is treated the same way. A waiter
//   checks the holder 10 ms into its wait and every 50 ms after, so nobody
//   waits more than about a second for a dead holder.
// - A live holder that is stopped or slow makes its waiters give up after
//   lock_timeout() with a ZoneError; waiting is measured on the steady clock.
// - The lock is not recursive: a thread asking for a lock that already names
//   it gets a ZoneError at once (a word forged to name the waiter does too).
//
// Why not a process-shared robust pthread mutex: glibc links every robust
// mutex a thread holds into a list whose pointers live inside the mutex, in
// the zone, and writes through them on unlock, so a peer that rewrites them
// steers the holder's writes into its own memory; its timed lock waits for a
// CLOCK_REALTIME deadline, which a clock step stretches or cuts short; and a
// mutex whose words hold garbage may stay unusable for good.
//
// What the liveness check relies on, and what breaks it:
// - Every process sharing a zone must see the same thread ids and start
//   times through /proc: one pid namespace and one time namespace, and no
//   hidepid mount that hides them from each other. A holder in another pid
//   namespace looks dead, and its lock is taken while it still holds it.
// - A thread id reused within the same clock tick (10 ms) as its previous
//   owner started would be mistaken for that owner; Linux hands ids out in
//   rising order, so this needs the whole id space used up within the tick.
// - Without a readable /proc the check falls back to kill(tid, 0): a holder
//   counts as dead only once its id is free, so a zombie holder or a reused id
//   (or a garbage word naming a live thread) keeps the lock held, and waiters
//   give up after lock_timeout() instead of taking it over.
//
// Thread safety: any number of threads and processes may lock one SharedLock
// at once. A SharedLockGuard belongs to the thread that made it. A forked
// child starts with nothing held, its threads having ids of their own; it
// must not destroy a guard it inherited, which would free its parent's lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/wait_hook.h"
#include "zone/zone_error.h"

namespace vorn::zone {

struct alignas(64) SharedLock {
  uint64_t owner;      // 0 when free; the layout above
  uint64_t unused[7];  // pads the lock to its own cache line
};
static_assert(sizeof(SharedLock) == 64);

// How long a lock is waited for before the zone is reported as stuck; one
// setting for every lock of every zone (5000 ms unless set). Thread-safe. The
// setter is a test seam: tests and the fuzzer shorten the wait.
std::chrono::milliseconds lock_timeout();
void set_lock_timeout(std::chrono::milliseconds timeout);

// The wait hook is called around every sleep on a contended lock (see
// core/wait_hook.h); these names are kept for the zone's callers.
using WaitHook = vorn::WaitHook;
using ScopedWaitHook = vorn::ScopedWaitHook;

// Holds `lock` from construction to destruction. The constructor waits for the
// lock and throws ZoneError, naming `zone` and `what` ("a shard's lock"), when
// it was held for longer than lock_timeout() or already names this thread.
// Uncontended, taking costs one compare-and-swap and releasing another. Not
// copyable; used by the thread that made it.
// What a wait that timed out throws: a ZoneError that also says which holder
// (the owner word seen last) kept the lock, so a caller can tell later
// whether the same holder keeps it still.
class LockHeldTooLong : public ZoneError {
 public:
  LockHeldTooLong(const std::string& message, uint64_t holder)
      : ZoneError(message), holder_(holder) {}
  uint64_t holder() const { return holder_; }

 private:
  uint64_t holder_;
};

// The lock's owner word as it is now (0 when free), and whether the thread a
// word names is certainly not running any more (or never was), so that what
// it held will never be released. Thread-safe.
uint64_t holder_of(const SharedLock& lock);
bool holder_is_dead(uint64_t word);

class SharedLockGuard {
 public:
  SharedLockGuard(SharedLock* lock, const std::string& zone, std::string_view what);
  SharedLockGuard(const SharedLockGuard&) = delete;
  SharedLockGuard& operator=(const SharedLockGuard&) = delete;
  // Frees the lock if its word still names this thread. A word a peer
  // rewrote meanwhile is left as it is: the lock is not this guard's to free.
  ~SharedLockGuard();

  // True when the lock was taken from a dead holder (or a garbage word): what
  // it protects may be half-written and must be repaired.
  bool owner_died() const { return owner_died_; }
  // Declares the repair done; clears owner_died(). The lock itself has no
  // state to repair, so a guard released without this frees the lock as usual,
  // and the protected data must show by itself that it needs repair.
  void mark_consistent() { owner_died_ = false; }
  // Whether the lock's word still names this thread, that is whether no peer
  // has overwritten it since it was taken.
  bool held() const;

 private:
  SharedLock* lock_;
  uint64_t word_;  // what this guard wrote into lock_->owner
  bool owner_died_ = false;
};

}  // namespace vorn::zone
