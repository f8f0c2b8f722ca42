// Per-check cost of each limiter and of the engine, and resident bytes per key
// of each store. Prints numbers; it asserts nothing.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "algorithms/algorithm.h"
#include "core/engine.h"

namespace {

using vorn::Algorithm;

std::string ipv4_key(uint64_t n) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(10 + (n >> 24) % 200),
                unsigned((n >> 16) & 255), unsigned((n >> 8) & 255), unsigned(n & 255));
  return text;
}

std::vector<std::string> ipv4_keys(size_t count) {
  std::vector<std::string> keys;
  keys.reserve(count);
  for (size_t i = 0; i < count; ++i) keys.push_back(ipv4_key(i * 2654435761u % 4000000000u));
  return keys;
}

// Capacities large enough that the benchmark measures admissions, not refusals.
Algorithm make_algorithm(const char* name) { return Algorithm::from_name(name, 100, 1e6); }

const char* const kNames[] = {"token_bucket", "sliding_window", "fixed_window", "leaky_bucket"};

void BM_ExistingKey(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  Algorithm algorithm = make_algorithm(name);
  // The sliding window logs every admission; keep its log short.
  if (state.range(0) == 1) algorithm = Algorithm::from_name(name, 4, 0);
  const std::vector<std::string> keys = ipv4_keys(4096);
  for (const auto& key : keys) algorithm.check(key);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(algorithm.check(keys[i++ & 4095]));
  }
  state.SetLabel(name);
}
BENCHMARK(BM_ExistingKey)->DenseRange(0, 3);

void BM_NewKey(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  Algorithm algorithm = make_algorithm(name);
  const std::vector<std::string> keys = ipv4_keys(2'000'000);
  size_t i = 0;
  for (auto _ : state) {
    if (i == keys.size()) {
      state.PauseTiming();
      algorithm = make_algorithm(name);
      i = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(algorithm.check(keys[i++]));
  }
  state.SetLabel(name);
}
BENCHMARK(BM_NewKey)->DenseRange(0, 3);

long resident_bytes() {
  long pages_total = 0, pages_resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(statm);
  }
  return pages_resident * sysconf(_SC_PAGESIZE);
}

// Resident memory added by 1,000,000 distinct IPv4 keys; the sliding window
// holds one logged entry per key.
void BM_BytesPerKey(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  constexpr size_t kKeys = 1'000'000;
  const std::vector<std::string> keys = ipv4_keys(kKeys);
  double bytes_per_key = 0;
  for (auto _ : state) {
    const long before = resident_bytes();
    auto algorithm = std::make_unique<Algorithm>(Algorithm::from_name(name, 10, 1));
    for (const auto& key : keys) algorithm->check(key);
    bytes_per_key = double(resident_bytes() - before) / kKeys;
    state.PauseTiming();
    algorithm.reset();
    state.ResumeTiming();
  }
  state.counters["bytes_per_key"] = bytes_per_key;
  state.SetLabel(name);
}
BENCHMARK(BM_BytesPerKey)->DenseRange(0, 3)->Iterations(1)->Unit(benchmark::kMillisecond);

vorn::VornEngine make_engine(const char* mode, std::optional<std::string> api_key) {
  return vorn::VornEngine("token_bucket", mode, std::move(api_key), 100, 1e6, 1.0, std::nullopt,
                          vorn::RateLimitOptions{}, 60000, "http://127.0.0.1:4000");
}

void engine_check_loop(benchmark::State& state, const vorn::VornEngine& engine) {
  const std::vector<std::string> keys = ipv4_keys(4096);
  for (const auto& key : keys) engine.check_request_with_identity(std::nullopt, key, "/api", 0);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        engine.check_request_with_identity(std::nullopt, keys[i++ & 4095], "/api", 0));
  }
}

void BM_EngineActiveNoApiKey(benchmark::State& state) {
  engine_check_loop(state, make_engine("active", std::nullopt));
}
BENCHMARK(BM_EngineActiveNoApiKey);

// With an API key every check queues an event; the queue is filled first so
// every push also evicts.
void BM_EngineActiveApiKeyQueueFull(benchmark::State& state) {
  vorn::VornEngine engine = make_engine("active", std::string("key"));
  for (int i = 0; i < 10000; ++i) engine.check_request_with_identity(std::nullopt, "x", "/", 0);
  engine_check_loop(state, engine);
}
BENCHMARK(BM_EngineActiveApiKeyQueueFull);

void BM_EngineActiveApiKeyQueueEmpty(benchmark::State& state) {
  engine_check_loop(state, make_engine("active", std::string("key")));
}
BENCHMARK(BM_EngineActiveApiKeyQueueEmpty)->Iterations(5000);

void BM_EngineDisabled(benchmark::State& state) {
  engine_check_loop(state, make_engine("disabled", std::nullopt));
}
BENCHMARK(BM_EngineDisabled);

}  // namespace

BENCHMARK_MAIN();
