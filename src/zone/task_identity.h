// Who a process or thread is, in a form that other processes can test for
// life: its id (a pid or a thread id) and a stamp, the low 32 bits of its
// start time in clock ticks, which tells a live task from a later one given
// the same id. Read from /proc; where /proc is missing the stamp is 0 and
// only whether the id is free can be asked. All functions are thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

namespace vorn::zone {

struct TaskIdentity {
  uint32_t id = 0;
  uint32_t stamp = 0;
};

// This process (its pid). Cheap after the first call in a process.
TaskIdentity current_process();

namespace detail {
// Raised in every child of a fork once current_process() was called.
extern std::atomic<uint32_t> forks;
}  // namespace detail

// How many forks made this process from the first that called
// current_process(): a value to compare, one relaxed load.
inline uint32_t fork_generation() { return detail::forks.load(std::memory_order_relaxed); }

// The stamp /proc gives the task `id` now; 0 when there is none (gone, or no
// /proc).
uint32_t stamp_of(uint32_t id);

// Whether `task` may still be running: false only when it certainly is not
// (its id is free, it is a zombie, or its id now names a later task).
bool is_alive(const TaskIdentity& task);

}  // namespace vorn::zone
