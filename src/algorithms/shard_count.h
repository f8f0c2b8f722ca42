// How many shards a ShardedMap gets: four per hardware thread available to the
// process, rounded up to a power of two. The thread count is the size of the
// CPU affinity set, lowered to the control group's CPU quota where one applies.
// Pure helpers are exposed for tests; default_shard_count() is computed once per
// process and is thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vorn {

// 1 thread gives 4 shards, 3 give 16, 8 give 32; 0 (unknown) counts as 1.
size_t shard_count_for(size_t threads);

// Whole CPUs allowed by a cgroup v2 "cpu.max" text ("<quota> <period>" or
// "max <period>"); absent when there is no quota or the text is malformed.
std::optional<size_t> cgroup_v2_quota_cpus(std::string_view cpu_max);

// Whole CPUs allowed by cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us texts;
// absent when the quota is -1 (none) or either text is malformed.
std::optional<size_t> cgroup_v1_quota_cpus(std::string_view quota, std::string_view period);

// Threads available to this process; 0 when it cannot be determined.
size_t available_threads();

// shard_count_for(available_threads()), computed on first use and cached.
size_t default_shard_count();

}  // namespace vorn
