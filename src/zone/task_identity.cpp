#include "zone/task_identity.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn::zone {
namespace {

struct StatLine {
  bool found = false;
  char state = '?';
  uint64_t started = 0;  // clock ticks after boot
};

// Reads /proc/<id>/stat: the state is the field after the command's closing
// parenthesis (the command may itself hold parentheses), the start time the
// 20th field after it.
StatLine read_stat(uint32_t id) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%u/stat", id);
  StatLine line;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return line;
  char buffer[1024];
  ssize_t got;
  do {
    got = read(fd, buffer, sizeof buffer - 1);
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got <= 0) return line;
  buffer[got] = '\0';
  const char* at = std::strrchr(buffer, ')');
  if (at == nullptr || at[1] != ' ') return line;
  at += 2;
  line.found = true;
  line.state = *at;
  for (int field = 3; field < 22 && at != nullptr; ++field) {
    at = std::strchr(at, ' ');
    if (at != nullptr) ++at;
  }
  if (at != nullptr) line.started = std::strtoull(at, nullptr, 10);
  return line;
}

uint32_t stamp_from(const StatLine& line) {
  // Never 0, which stands for "unknown".
  return static_cast<uint32_t>(line.started) | 1u;
}

std::atomic<uint64_t> cached_process{0};

void forget_process() { cached_process.store(0, std::memory_order_relaxed); }

}  // namespace

TaskIdentity current_process() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, &forget_process);
    return true;
  }();
  (void)registered;
  uint64_t packed = cached_process.load(std::memory_order_relaxed);
  if (packed == 0) {
    const auto pid = static_cast<uint32_t>(getpid());
    packed = (uint64_t{stamp_of(pid)} << 32) | pid;
    cached_process.store(packed, std::memory_order_relaxed);
  }
  return TaskIdentity{static_cast<uint32_t>(packed), static_cast<uint32_t>(packed >> 32)};
}

uint32_t stamp_of(uint32_t id) {
  const StatLine line = read_stat(id);
  return line.found ? stamp_from(line) : 0;
}

bool is_alive(const TaskIdentity& task) {
  if (task.id == 0 || task.id > (1u << 22)) return false;
  const StatLine line = read_stat(task.id);
  if (line.found) {
    if (line.state == 'Z' || line.state == 'X' || line.state == 'x') return false;
    return task.stamp == 0 || stamp_from(line) == task.stamp;
  }
  // No /proc entry: gone, or no /proc at all, where only the id can be asked.
  if (access("/proc/self/stat", F_OK) == 0) return false;
  return kill(static_cast<pid_t>(task.id), 0) == 0 || errno == EPERM;
}

}  // namespace vorn::zone
