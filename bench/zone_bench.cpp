// The engine with its state in a shared-memory zone against the in-process
// engine: per-check cost on hot, cold and new keys, the throughput of two
// processes against one on distinct keys, and resident bytes per key. Every
// zone is made for the run and removed after it. Prints numbers; asserts nothing.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "algorithms/algorithm.h"
#include "core/engine.h"
#include "zone/shared_lock.h"
#include "zone/zone_mapping.h"

namespace {

using vorn::Algorithm;

const char* const kNames[] = {"token_bucket", "sliding_window", "fixed_window", "leaky_bucket"};

std::string ipv4_key(uint64_t n) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(10 + (n >> 24) % 200),
                unsigned((n >> 16) & 255), unsigned((n >> 8) & 255), unsigned(n & 255));
  return text;
}

std::vector<std::string> ipv4_keys(size_t count, uint64_t salt = 0) {
  std::vector<std::string> keys;
  keys.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    keys.push_back(ipv4_key((i + salt) * 2654435761u % 4000000000u));
  }
  return keys;
}

// A zone of the default size for one benchmark, removed when it ends.
vorn::ZonePlacement placement(const std::string& zone,
                              std::optional<uint64_t> size_bytes = std::nullopt) {
  return vorn::ZonePlacement{zone, size_bytes, std::nullopt, vorn::FailurePolicy::Local};
}

class BenchZone {
 public:
  BenchZone() : name_("bench-" + std::to_string(getpid()) + "-" + std::to_string(next_++)) {
    vorn::zone::remove_zone(name_);
  }
  ~BenchZone() { vorn::zone::remove_zone(name_); }
  const std::string& name() const { return name_; }

 private:
  static inline int next_ = 0;
  std::string name_;
};

// As BM_EngineCheck of core_bench, in a zone: 4,096 keys (hot) or 1,000,000
// (cold) in rotation; the sliding window refuses after one entry.
void BM_ZoneEngineCheck(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  const bool sliding = state.range(0) == 1;
  BenchZone zone;
  vorn::VornEngine engine(placement(zone.name()), name, "active",
                          std::nullopt, sliding ? 1 : 1e9, sliding ? 0 : 1.0, 1.0, std::nullopt, {},
                          60000, "");
  const std::vector<std::string> keys = ipv4_keys(static_cast<size_t>(state.range(1)));
  for (const auto& key : keys) engine.check_request_with_identity(std::nullopt, key, "/api", 0);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.check_request_with_identity(std::nullopt, keys[i], "/api", 0));
    if (++i == keys.size()) i = 0;
  }
  state.SetLabel(name);
}
BENCHMARK(BM_ZoneEngineCheck)->ArgsProduct({{0, 1, 2, 3}, {4096, 1'000'000}});

// What a zone check cannot go below beside an in-process one: its shard's
// cross-process lock taken and released, uncontended (compare BM_Floor/2 of
// core_bench, the in-process shard lock).
void BM_ZoneFloor(benchmark::State& state) {
  vorn::zone::SharedLock lock{};
  const std::string zone = "floor";
  for (auto _ : state) {
    vorn::zone::SharedLockGuard guard(&lock, zone, "a shard");
    benchmark::ClobberMemory();
  }
  state.SetLabel("shared lock");
}
BENCHMARK(BM_ZoneFloor);

// As BM_EngineVerdict/<algorithm>/0 of core_bench, in a zone: check_verdict
// on 4,096 hot keys, or 1,000,000 cold ones.
void BM_ZoneEngineVerdict(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  const bool sliding = state.range(0) == 1;
  BenchZone zone;
  vorn::VornEngine engine(placement(zone.name()), name, "active", std::nullopt, sliding ? 1 : 1e9,
                          sliding ? 0 : 1.0, 1.0, std::nullopt, {}, 60000, "");
  const std::vector<std::string> keys = ipv4_keys(static_cast<size_t>(state.range(1)));
  for (const auto& key : keys) engine.check_verdict(std::nullopt, key, "/api", 0);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.check_verdict(std::nullopt, keys[i], "/api", 0));
    if (++i == keys.size()) i = 0;
  }
  state.SetLabel(name);
}
BENCHMARK(BM_ZoneEngineVerdict)->ArgsProduct({{0, 1, 2, 3}, {4096, 1'000'000}});

// As BM_LimitCheck of core_bench, in a zone: 4,096 hot keys through the
// engine of capacity and refill rate (range(1) 0), the same limit as one rate
// (1), two rates, the second as loose as the first (2), and one rate with
// every request weighing 2 (3).
void BM_ZoneLimitCheck(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  const bool sliding = state.range(0) == 1;
  const double count = sliding ? 2 : 1e9;
  const uint64_t window_ms = sliding ? 60000 : 1'000'000'000'000;  // refill of 1 per second
  BenchZone zone;
  const vorn::ZonePlacement where = placement(zone.name());
  std::optional<vorn::VornEngine> engine;
  std::vector<vorn::Rate> rates{{count, window_ms}};
  if (state.range(1) == 2) rates.push_back({count * 2, window_ms * 2});
  if (state.range(1) == 0) {
    engine.emplace(where, name, "active", std::nullopt, count, sliding ? 0.0 : 1.0, 1.0,
                   std::nullopt, vorn::RateLimitOptions{}, 60000, "");
  } else {
    engine.emplace(name, "active", std::nullopt, rates, 1.0, std::nullopt,
                   vorn::RateLimitOptions{}, 60000, "", &where);
  }
  const vorn::Cost cost = vorn::Cost::of(state.range(1) == 3 ? 2.0 : 1.0);
  const std::vector<std::string> keys = ipv4_keys(4096);
  for (const auto& key : keys) {
    engine->check_request_with_identity(std::nullopt, key, "/api", 0, vorn::OutcomeDetail::Full,
                                        cost);
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine->check_request_with_identity(
        std::nullopt, keys[i++ & 4095], "/api", 0, vorn::OutcomeDetail::Full, cost));
  }
  static const char* const kForms[] = {"capacity and refill", "one rate", "two rates", "cost 2"};
  state.SetLabel(std::string(name) + ", " + kForms[state.range(1)]);
}
BENCHMARK(BM_ZoneLimitCheck)->ArgsProduct({{0, 1, 2, 3}, {0, 1, 2, 3}});

// As BM_NewKey of core_bench, in a zone in service: every check inserts a key
// never seen into a zone that already holds 1,000,000 others, whose pages are
// therefore in memory (range 1), or into a zone just created, where most new
// keys also pay for the first touch of a page of shared memory (range 0). A new
// key logs one time whatever the window's limit, so the sliding window gets one
// that fits a shard's pool.
void BM_ZoneNewKey(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  const bool in_service = state.range(1) == 1;
  const double capacity = state.range(0) == 1 ? 1000 : 1e9;
  const std::vector<std::string> keys = ipv4_keys(1'000'000);
  const std::vector<std::string> earlier = ipv4_keys(1'000'000, 5'000'000);
  std::unique_ptr<Algorithm> algorithm;
  std::unique_ptr<BenchZone> zone;
  size_t i = keys.size();
  for (auto _ : state) {
    if (i == keys.size()) {
      state.PauseTiming();
      algorithm.reset();
      zone = std::make_unique<BenchZone>();
      algorithm = std::make_unique<Algorithm>(
          Algorithm::in_zone(name, capacity, 1.0, placement(zone->name())));
      if (in_service) {
        for (const auto& key : earlier) algorithm->check(key);
      }
      i = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(algorithm->check(keys[i++]));
  }
  state.SetLabel(std::string(name) + (in_service ? ", zone in service" : ", new zone"));
}
BENCHMARK(BM_ZoneNewKey)->ArgsProduct({{0, 1, 2, 3}, {0, 1}});

long resident_bytes() {
  long pages_total = 0, pages_resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(statm);
  }
  return pages_resident * sysconf(_SC_PAGESIZE);
}

// 1,000,000 IPv4 token-bucket clients in a zone of 192 MiB (the default holds
// fewer): the resident bytes the zone's pages add per key, and how many were
// evicted. Range 1: a limit of two rates (a slot each) in a zone of twice the
// size, as full.
void BM_ZoneBytesPerKey(benchmark::State& state) {
  constexpr size_t kKeys = 1'000'000;
  const bool two_rates = state.range(0) == 1;
  const std::vector<std::string> keys = ipv4_keys(kKeys, 7);
  double bytes_per_key = 0, evictions = 0, zone_bytes = 0;
  for (auto _ : state) {
    BenchZone zone;
    const long before = resident_bytes();
    const vorn::ZonePlacement where = placement(zone.name(), uint64_t(two_rates ? 384 : 192) << 20);
    auto algorithm = std::make_unique<Algorithm>(
        two_rates ? Algorithm::in_zone("token_bucket", {{10, 1000}, {1000, 3'600'000}}, where)
                  : Algorithm::in_zone("token_bucket", 10, 0, where));
    for (const auto& key : keys) algorithm->check(key);
    bytes_per_key = double(resident_bytes() - before) / kKeys;
    const vorn::zone::ZoneStats stats = vorn::zone::zone_stats(zone.name());
    evictions = double(stats.evictions);
    zone_bytes = double(stats.size_bytes);
  }
  state.counters["bytes_per_key"] = bytes_per_key;
  state.counters["evictions"] = evictions;
  state.counters["zone_MiB"] = zone_bytes / (1 << 20);
  state.SetLabel(two_rates ? "token bucket, two rates" : "token bucket");
}
BENCHMARK(BM_ZoneBytesPerKey)->DenseRange(0, 1)->Iterations(1)->Unit(benchmark::kMillisecond);

// Checks per second of `processes` forked workers, each on its own 4,096 keys
// of one zone (or, with an empty name, of its own in-process engine) for
// `seconds`.
double zone_throughput(const std::string& zone, int processes, double seconds) {
  std::vector<int> readers;
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    int pipes[2];
    if (pipe(pipes) != 0) return 0;
    const pid_t child = fork();
    if (child == 0) {
      close(pipes[0]);
      const auto engine =
          zone.empty() ? std::make_unique<vorn::VornEngine>("token_bucket", "active", std::nullopt,
                                                            1e9, 1.0, 1.0, std::nullopt,
                                                            vorn::RateLimitOptions{}, 60000, "")
                       : std::make_unique<vorn::VornEngine>(
                             placement(zone), "token_bucket", "active",
                             std::nullopt, 1e9, 1.0, 1.0, std::nullopt, vorn::RateLimitOptions{},
                             60000, "");
      const std::vector<std::string> keys = ipv4_keys(4096, 1'000'003 * (p + 1));
      const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
      uint64_t checks = 0;
      while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 256; ++i, ++checks) {
          benchmark::DoNotOptimize(
              engine->check_request_with_identity(std::nullopt, keys[checks & 4095], "/", 0));
        }
      }
      const bool written = write(pipes[1], &checks, sizeof checks) == sizeof checks;
      _exit(written ? 0 : 1);
    }
    close(pipes[1]);
    readers.push_back(pipes[0]);
    children.push_back(child);
  }
  uint64_t total = 0;
  for (int reader : readers) {
    uint64_t checks = 0;
    if (read(reader, &checks, sizeof checks) == sizeof checks) total += checks;
    close(reader);
  }
  for (pid_t child : children) waitpid(child, nullptr, 0);
  return double(total) / seconds;
}

// Two processes on distinct keys against one: the zone has no zone-wide lock.
// The same for processes with in-process engines shows what the machine itself
// allows (other work on its cores included).
void BM_ZoneTwoProcesses(benchmark::State& state) {
  BenchZone zone;
  { Algorithm::in_zone("token_bucket", 1e9, 1.0, placement(zone.name())); }
  double one = 0, two = 0, local_one = 0, local_two = 0;
  for (auto _ : state) {
    one = zone_throughput(zone.name(), 1, 1.0);
    two = zone_throughput(zone.name(), 2, 1.0);
    local_one = zone_throughput("", 1, 1.0);
    local_two = zone_throughput("", 2, 1.0);
  }
  state.counters["one_process_per_s"] = one;
  state.counters["two_processes_per_s"] = two;
  state.counters["ratio"] = one > 0 ? two / one : 0;
  state.counters["in_process_ratio"] = local_one > 0 ? local_two / local_one : 0;
}
BENCHMARK(BM_ZoneTwoProcesses)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
