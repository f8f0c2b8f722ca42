#include "zone/fault_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "core/fork_guard.h"

namespace vorn::zone {
namespace {

constexpr int kSlots = 256;

// A guarded mapping. `state` is 0 when free, 1 while being filled or
// emptied, 2 while guarded; the handler reads only slots in state 2.
struct GuardSlot {
  std::atomic<int> state{0};
  std::atomic<uintptr_t> base{0};
  std::atomic<size_t> size{0};
  std::atomic<int> fd{-1};
  std::atomic<bool> faulted{false};
};

GuardSlot slots[kSlots];
ForkSafeMutex install_mutex{LockLevel::Leaf};
bool installed = false;   // guarded by install_mutex
struct sigaction previous {};  // written once, before the handler is installed

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Maps zero pages over the part of the slot's range that the file no longer
// backs, starting no later than the faulting page. Async-signal-safe: fstat
// and mmap are system calls.
bool absorb(GuardSlot& slot, uintptr_t address) {
  const uintptr_t base = slot.base.load(std::memory_order_acquire);
  const size_t size = slot.size.load(std::memory_order_acquire);
  if (address < base || address - base >= size) return false;
  const size_t page = page_size();
  uintptr_t from = address & ~(page - 1);
  struct stat info {};
  if (fstat(slot.fd.load(std::memory_order_acquire), &info) == 0 && info.st_size >= 0) {
    const uintptr_t backed = base + ((static_cast<uintptr_t>(info.st_size) + page - 1) & ~(page - 1));
    if (backed < from) from = backed;
  }
  if (from < base) from = base;
  void* mapped = mmap(reinterpret_cast<void*>(from), base + size - from, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (mapped == MAP_FAILED) return false;
  slot.faulted.store(true, std::memory_order_release);
  return true;
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (GuardSlot& slot : slots) {
    if (slot.state.load(std::memory_order_acquire) == 2 && absorb(slot, address)) return;
  }
  // Not ours: as if this handler were not there.
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
             previous.sa_handler != nullptr) {
    previous.sa_handler(signal);
  } else {
    // Returning re-runs the access, which now takes the default action.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
  }
}

void install_once() {
  std::lock_guard lock(install_mutex);
  if (installed) return;
  struct sigaction action {};
  action.sa_sigaction = &on_bus_error;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGBUS, &action, &previous) == 0) installed = true;
}

}  // namespace

FaultGuard::FaultGuard(void* base, size_t size, int fd) {
  install_once();
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (!slots[i].state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
    slots[i].base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_relaxed);
    slots[i].size.store(size, std::memory_order_relaxed);
    slots[i].fd.store(fd, std::memory_order_relaxed);
    slots[i].faulted.store(false, std::memory_order_relaxed);
    slots[i].state.store(2, std::memory_order_release);
    slot_ = i;
    return;
  }
}

FaultGuard::~FaultGuard() { stop(); }

void FaultGuard::stop() {
  if (slot_ < 0) return;
  slots[slot_].state.store(1, std::memory_order_release);
  slots[slot_].base.store(0, std::memory_order_relaxed);
  slots[slot_].size.store(0, std::memory_order_relaxed);
  slots[slot_].state.store(0, std::memory_order_release);
  slot_ = -1;
}

bool FaultGuard::faulted() const {
  return slot_ >= 0 && slots[slot_].faulted.load(std::memory_order_acquire);
}

}  // namespace vorn::zone
