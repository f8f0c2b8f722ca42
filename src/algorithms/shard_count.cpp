#include "algorithms/shard_count.h"

#include <sched.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace vorn {
namespace {

std::optional<uint64_t> parse_u64(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A quota grants quota / period CPUs, rounded down but never below one.
std::optional<size_t> cpus_from_quota(uint64_t quota, uint64_t period) {
  if (period == 0) return std::nullopt;
  return std::max<uint64_t>(quota / period, 1);
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::stringstream contents;
  contents << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return contents.str();
}

// The smallest quota on the path from the process's cgroup up to the root.
std::optional<size_t> cgroup_v2_limit(std::string path) {
  std::optional<size_t> limit;
  while (true) {
    if (auto text = read_file("/sys/fs/cgroup" + path + "/cpu.max")) {
      if (auto cpus = cgroup_v2_quota_cpus(*text)) limit = std::min(limit.value_or(*cpus), *cpus);
    }
    if (path.empty() || path == "/") break;
    path.erase(path.rfind('/'));
  }
  return limit;
}

std::optional<size_t> cgroup_v1_limit(const std::string& path) {
  for (const char* root : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    for (const std::string& dir : {root + path, std::string(root)}) {
      auto quota = read_file(dir + "/cpu.cfs_quota_us");
      auto period = read_file(dir + "/cpu.cfs_period_us");
      if (quota && period) return cgroup_v1_quota_cpus(*quota, *period);
    }
  }
  return std::nullopt;
}

std::optional<size_t> cgroup_quota_cpus() {
  auto self = read_file("/proc/self/cgroup");
  if (!self) return std::nullopt;
  std::istringstream lines(*self);
  std::string line;
  while (std::getline(lines, line)) {
    // Each line is "<id>:<controllers>:<path>"; v2 has id 0 and no controllers.
    size_t first = line.find(':');
    size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (path == "/") path.clear();
    if (controllers.empty() && line.compare(0, first, "0") == 0) {
      if (auto limit = cgroup_v2_limit(path)) return limit;
      continue;
    }
    std::istringstream names(controllers);
    std::string name;
    while (std::getline(names, name, ',')) {
      if (name == "cpu") return cgroup_v1_limit(path);
    }
  }
  return std::nullopt;
}

}  // namespace

size_t shard_count_for(size_t threads) { return std::bit_ceil(std::max<size_t>(threads, 1) * 4); }

std::optional<size_t> cgroup_v2_quota_cpus(std::string_view cpu_max) {
  size_t blank = cpu_max.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  auto quota = parse_u64(cpu_max.substr(0, blank));  // "max" fails to parse: no quota
  auto period = parse_u64(cpu_max.substr(blank + 1));
  if (!quota || !period) return std::nullopt;
  return cpus_from_quota(*quota, *period);
}

std::optional<size_t> cgroup_v1_quota_cpus(std::string_view quota, std::string_view period) {
  auto quota_us = parse_u64(quota);  // "-1" fails to parse: no quota
  auto period_us = parse_u64(period);
  if (!quota_us || !period_us) return std::nullopt;
  return cpus_from_quota(*quota_us, *period_us);
}

size_t available_threads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  size_t threads = static_cast<size_t>(CPU_COUNT(&set));
  if (auto quota = cgroup_quota_cpus()) threads = std::min(threads, *quota);
  return threads;
}

size_t default_shard_count() {
  static const size_t count = shard_count_for(available_threads());
  return count;
}

}  // namespace vorn
