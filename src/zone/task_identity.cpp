#include "zone/task_identity.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

namespace vorn::zone {

std::atomic<uint32_t> detail::forks{0};
namespace {

struct TaskStat {
  char state;
  uint64_t start_time;  // clock ticks after boot
};

// Fields 3 (state) and 22 (start time) of a /proc/<id>/stat line. They are
// counted from the last ')': the command name before it may hold anything,
// spaces and parentheses included.
std::optional<TaskStat> parse_stat(std::string_view line) {
  const size_t name_end = line.rfind(')');
  if (name_end == std::string_view::npos) return std::nullopt;
  TaskStat stat{};
  size_t at = name_end + 1;
  for (int field = 3; field <= 22; ++field) {
    while (at < line.size() && line[at] == ' ') ++at;
    const size_t end = std::min(line.find(' ', at), line.size());
    if (at == end) return std::nullopt;
    if (field == 3) stat.state = line[at];
    if (field == 22) {
      const auto result = std::from_chars(line.data() + at, line.data() + end, stat.start_time);
      if (result.ec != std::errc() || result.ptr != line.data() + end) return std::nullopt;
    }
    at = end;
  }
  return stat;
}

// Works for any thread id, listed in /proc or not. Nothing when the task has
// no readable entry: gone, hidden (a hidepid mount), or no /proc.
// Read as /proc/<id>/task/<id>/stat, the same line as /proc/<id>/stat: an
// emulator such as qemu-user answers a process's read of its own
// /proc/<pid>/stat with a start time of its own making, a tick or more after
// the kernel's, and a lock's holder would then look dead to every other
// process, which would take the lock from it.
std::optional<TaskStat> read_stat(uint32_t id) {
  char path[48] = "/proc/";
  char* end = std::to_chars(path + 6, path + 16, id).ptr;
  end = std::copy_n("/task/", 6, end);
  end = std::to_chars(end, end + 10, id).ptr;
  std::memcpy(end, "/stat", sizeof "/stat");
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[1024];
  ssize_t got;
  do {
    got = read(fd, buffer, sizeof buffer);
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got <= 0) return std::nullopt;
  return parse_stat(std::string_view(buffer, static_cast<size_t>(got)));
}

std::atomic<uint64_t> cached_process{0};

void forget_process() {
  cached_process.store(0, std::memory_order_relaxed);
  detail::forks.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

TaskIdentity current_process() {
  [[maybe_unused]] static const bool registered =
      pthread_atfork(nullptr, nullptr, &forget_process) == 0;
  uint64_t packed = cached_process.load(std::memory_order_relaxed);
  if (packed == 0) {
    const auto pid = static_cast<uint32_t>(getpid());
    packed = (uint64_t{stamp_of(pid)} << 32) | pid;
    cached_process.store(packed, std::memory_order_relaxed);
  }
  return TaskIdentity{static_cast<uint32_t>(packed), static_cast<uint32_t>(packed >> 32)};
}

uint32_t stamp_of(uint32_t id) {
  const std::optional<TaskStat> stat = read_stat(id);
  return stat ? static_cast<uint32_t>(stat->start_time) : 0;
}

bool is_alive(const TaskIdentity& task) {
  if (task.id == 0) return false;  // no task has id 0: garbage
  if (const std::optional<TaskStat> stat = read_stat(task.id)) {
    // A zombie has stopped running but keeps its id until reaped, and a
    // different start time is a later task given the same id.
    return stat->state != 'Z' && stat->state != 'X' && stat->state != 'x' &&
           static_cast<uint32_t>(stat->start_time) == task.stamp;
  }
  // No entry to read: the id is either free or hidden from us (no /proc, or
  // a hidepid mount). Only a free id is proof.
  return !(kill(static_cast<pid_t>(task.id), 0) == -1 && errno == ESRCH);
}

}  // namespace vorn::zone
