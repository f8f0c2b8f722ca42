// Per-check cost of each limiter and of the engine, and resident bytes per key
// of each store. Prints numbers; it asserts nothing.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "algorithms/algorithm.h"
#include "algorithms/rw_lock.h"
#include "algorithms/siphash.h"
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
Algorithm make_algorithm(const char* name) { return Algorithm::from_name(name, 1e9, 1.0); }

const char* const kNames[] = {"token_bucket", "sliding_window", "fixed_window", "leaky_bucket"};

vorn::VornEngine make_engine(const char* algorithm, const char* mode,
                             std::optional<std::string> api_key = std::nullopt) {
  return vorn::VornEngine(algorithm, mode, std::move(api_key), 1e9, 1.0, 1.0, std::nullopt,
                          vorn::RateLimitOptions{}, 60000, "http://127.0.0.1:4000");
}

// An engine check (no API key) cycling over `state.range(1)` keys: 4,096 keep
// the store in cache (hot), 1,000,000 do not (cold).
void BM_EngineCheck(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  // The sliding window logs every admission: let it refuse after one entry so
  // its logs stay short, as they do for a client over its limit.
  vorn::VornEngine engine =
      state.range(0) == 1
          ? vorn::VornEngine(name, "active", std::nullopt, 1, 0, 1.0, std::nullopt, {}, 60000, "")
          : make_engine(name, "active");
  const std::vector<std::string> keys = ipv4_keys(static_cast<size_t>(state.range(1)));
  for (const auto& key : keys) engine.check_request_with_identity(std::nullopt, key, "/api", 0);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.check_request_with_identity(std::nullopt, keys[i], "/api", 0));
    if (++i == keys.size()) i = 0;
  }
  state.SetLabel(name);
}
BENCHMARK(BM_EngineCheck)->ArgsProduct({{0, 1, 2, 3}, {4096, 1'000'000}});

// As BM_EngineCheck on 4,096 hot keys, through the entry a host uses when it
// shows only the verdict and figures: `range(1)` 0 is check_verdict, 1 the
// full check asked for the verdict only (OutcomeDetail::VerdictOnly), 2
// check_verdict on 1,000,000 cold keys.
void BM_EngineVerdict(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  vorn::VornEngine engine =
      state.range(0) == 1
          ? vorn::VornEngine(name, "active", std::nullopt, 1, 0, 1.0, std::nullopt, {}, 60000, "")
          : make_engine(name, "active");
  const std::vector<std::string> keys = ipv4_keys(state.range(1) == 2 ? 1'000'000 : 4096);
  for (const auto& key : keys) engine.check_verdict(std::nullopt, key, "/api", 0);
  size_t i = 0;
  if (state.range(1) == 2) {
    for (auto _ : state) {
      benchmark::DoNotOptimize(engine.check_verdict(std::nullopt, keys[i], "/api", 0));
      if (++i == keys.size()) i = 0;
    }
  } else if (state.range(1) == 0) {
    for (auto _ : state) {
      benchmark::DoNotOptimize(engine.check_verdict(std::nullopt, keys[i++ & 4095], "/api", 0));
    }
  } else {
    for (auto _ : state) {
      benchmark::DoNotOptimize(engine.check_request_with_identity(
          std::nullopt, keys[i++ & 4095], "/api", 0, vorn::OutcomeDetail::VerdictOnly));
    }
  }
  static const char* const kForms[] = {", verdict", ", verdict only", ", verdict, cold key"};
  state.SetLabel(std::string(name) + kForms[state.range(1)]);
}
BENCHMARK(BM_EngineVerdict)->ArgsProduct({{0, 1, 2, 3}, {0, 1, 2}});

// check_verdict of a token bucket on 4,096 hot keys under the limits users
// write: 0 the bucket of BM_EngineVerdict/0/0, 1 "10/second", 2 "10/second;
// 1000/hour". Each key comes back every few hundred microseconds, so past its
// first ten requests most of its checks are refusals, as for a client over
// its limit.
void BM_RatesCheck(benchmark::State& state) {
  std::vector<vorn::Rate> rates{{10, 1000}};
  if (state.range(0) == 2) rates.push_back({1000, 3'600'000});
  std::optional<vorn::VornEngine> engine;
  if (state.range(0) == 0) {
    engine.emplace("token_bucket", "active", std::nullopt, 1e9, 1.0, 1.0, std::nullopt,
                   vorn::RateLimitOptions{}, 60000, "");
  } else {
    engine.emplace("token_bucket", "active", std::nullopt, rates, 1.0, std::nullopt,
                   vorn::RateLimitOptions{}, 60000, "");
  }
  const std::vector<std::string> keys = ipv4_keys(4096);
  for (const auto& key : keys) engine->check_verdict(std::nullopt, key, "/api", 0);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine->check_verdict(std::nullopt, keys[i++ & 4095], "/api", 0));
  }
  static const char* const kLimits[] = {"capacity and refill", "10/second",
                                        "10/second; 1000/hour"};
  state.SetLabel(kLimits[state.range(0)]);
}
BENCHMARK(BM_RatesCheck)->DenseRange(0, 2);

// An engine check on 4,096 hot keys through a limit of rates: `range(1)` 0 is
// the engine of capacity and refill rate, 1 the same limit as one rate, 2 two
// rates (the second as loose as the first), 3 one rate with each request
// weighing 2. The sliding window's count is 2, as in BM_EngineCheck its logs
// stay short; the others' counts are large enough to admit throughout.
void BM_LimitCheck(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  const bool sliding = state.range(0) == 1;
  const double count = sliding ? 2 : 1e9;
  const uint64_t window_ms = sliding ? 60000 : 1'000'000'000'000;  // refill of 1 per second
  std::optional<vorn::VornEngine> engine;
  std::vector<vorn::Rate> rates{{count, window_ms}};
  if (state.range(1) == 2) rates.push_back({count * 2, window_ms * 2});
  if (state.range(1) == 0) {
    engine.emplace(name, "active", std::nullopt, count, sliding ? 0.0 : 1.0, 1.0, std::nullopt,
                   vorn::RateLimitOptions{}, 60000, "");
  } else {
    engine.emplace(name, "active", std::nullopt, rates, 1.0, std::nullopt,
                   vorn::RateLimitOptions{}, 60000, "");
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
BENCHMARK(BM_LimitCheck)->ArgsProduct({{0, 1, 2, 3}, {0, 1, 2, 3}});

// An engine check, token bucket, 4,096 keys in rotation, with no refill
// (range 0) or a refill that makes every bucket full again by the time its
// client returns (range 1), as most clients well under their limit are.
void BM_EngineCheckReturning(benchmark::State& state) {
  const double refill = state.range(0) == 1 ? 1e9 : 0.0;
  vorn::VornEngine engine("token_bucket", "active", std::nullopt, 1e12, refill, 1.0, std::nullopt,
                          vorn::RateLimitOptions{}, 60000, "");
  const std::vector<std::string> keys = ipv4_keys(4096);
  for (const auto& key : keys) engine.check_request_with_identity(std::nullopt, key, "/api", 0);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        engine.check_request_with_identity(std::nullopt, keys[i++ & 4095], "/api", 0));
  }
  state.SetLabel(state.range(0) == 1 ? "refill between visits" : "no refill");
}
BENCHMARK(BM_EngineCheckReturning)->DenseRange(0, 1);

// A limiter's own check on a key it has seen (4,096 keys in rotation), without
// the engine around it.
void BM_ExistingKey(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  const Algorithm algorithm =
      state.range(0) == 1 ? Algorithm::from_name(name, 1, 0) : make_algorithm(name);
  const std::vector<std::string> keys = ipv4_keys(4096);
  for (const auto& key : keys) algorithm.check(key);
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(algorithm.check(keys[i++ & 4095]));
  state.SetLabel(name);
}
BENCHMARK(BM_ExistingKey)->DenseRange(0, 3);

void BM_NewKey(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  std::optional<Algorithm> algorithm(make_algorithm(name));
  const std::vector<std::string> keys = ipv4_keys(2'000'000);
  size_t i = 0;
  for (auto _ : state) {
    if (i == keys.size()) {
      state.PauseTiming();
      algorithm.reset();
      algorithm.emplace(make_algorithm(name));
      i = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(algorithm->check(keys[i++]));
  }
  state.SetLabel(name);
}
BENCHMARK(BM_NewKey)->DenseRange(0, 3);

// A new key into a table that has room: one-off clients arrive at 64 per
// simulated millisecond and each is reclaimable 64 ms after its visit, so the
// store holds about 4,096 keys and reclaiming, not growth, makes the room.
// Compare with BM_ExistingKey/0.
void BM_NewKeyWithRoom(benchmark::State& state) {
  struct SimulatedClock {
    uint64_t now_ms = 1'700'000'000'000;
    static uint64_t read(const void* self) {
      return static_cast<const SimulatedClock*>(self)->now_ms;
    }
  } simulated;
  const Algorithm algorithm = Algorithm::from_name(
      "token_bucket", 1e9, 1000.0 / 64, vorn::Clock(&SimulatedClock::read, &simulated));
  uint64_t n = 0;
  for (; n < 200'000; ++n) {
    if (n % 64 == 0) simulated.now_ms += 1;
    algorithm.check(ipv4_key(n));
  }
  std::vector<std::string> keys = ipv4_keys(1 << 20);
  size_t i = 0;
  for (auto _ : state) {
    if ((++n & 63) == 0) simulated.now_ms += 1;
    benchmark::DoNotOptimize(algorithm.check(keys[i]));
    if (++i == keys.size()) {  // rare: start over with keys the store has long dropped
      state.PauseTiming();
      simulated.now_ms += 1000;
      i = 0;
      state.ResumeTiming();
    }
  }
  state.SetLabel("token_bucket");
}
BENCHMARK(BM_NewKeyWithRoom);

// What no check can go below, each alone: 0 one reading of the system clock,
// 1 an uncontended engine-lock-sized mutex taken and released, 2 a shard lock
// taken and released, 3 the keyed hash of a typical key (an IPv4 address),
// 4 a bare token bucket decision on a state already in hand.
void BM_Floor(benchmark::State& state) {
  static const char* const kParts[] = {"clock reading", "mutex", "shard lock", "key hash",
                                       "bare decision"};
  std::mutex mutex;
  vorn::RwLock shard_lock;
  const vorn::SipKey hash_key = vorn::next_thread_hash_key();
  const std::vector<std::string> keys = ipv4_keys(4096);
  vorn::token_bucket::Bucket bucket{1e9, 0};
  uint64_t now = vorn::now_ms();
  size_t i = 0;
  for (auto _ : state) {
    switch (state.range(0)) {
      case 0:
        benchmark::DoNotOptimize(vorn::now_ms());
        break;
      case 1:
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
        break;
      case 2:
        shard_lock.lock();
        benchmark::ClobberMemory();
        shard_lock.unlock();
        break;
      case 3:
        benchmark::DoNotOptimize(vorn::siphash13_text(hash_key, keys[i++ & 4095]));
        break;
      default:
        benchmark::DoNotOptimize(vorn::token_bucket::decide(bucket, ++now, 1e9, 1.0, {}));
    }
  }
  state.SetLabel(kParts[state.range(0)]);
}
BENCHMARK(BM_Floor)->DenseRange(0, 4);

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
    // No refill: every key stays as inserted, none can be reclaimed.
    auto algorithm = std::make_unique<Algorithm>(Algorithm::from_name(name, 10, 0));
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

// Resident memory added by 1,000,000 distinct IPv4 keys under a token bucket
// of two rates.
void BM_BytesPerKeyTwoRates(benchmark::State& state) {
  constexpr size_t kKeys = 1'000'000;
  const std::vector<std::string> keys = ipv4_keys(kKeys);
  double bytes_per_key = 0;
  for (auto _ : state) {
    const long before = resident_bytes();
    auto algorithm = std::make_unique<Algorithm>(
        Algorithm::from_rates("token_bucket", {{10, 1000}, {1000, 3'600'000}}));
    for (const auto& key : keys) algorithm->check(key);
    bytes_per_key = double(resident_bytes() - before) / kKeys;
    state.PauseTiming();
    algorithm.reset();
    state.ResumeTiming();
  }
  state.counters["bytes_per_key"] = bytes_per_key;
}

BENCHMARK(BM_BytesPerKeyTwoRates)->Iterations(1)->Unit(benchmark::kMillisecond);


void engine_check_loop(benchmark::State& state, const vorn::VornEngine& engine) {
  const std::vector<std::string> keys = ipv4_keys(4096);
  for (const auto& key : keys) engine.check_request_with_identity(std::nullopt, key, "/api", 0);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        engine.check_request_with_identity(std::nullopt, keys[i++ & 4095], "/api", 0));
  }
}

// With an API key every check queues an event; the queue is filled first so
// every push also evicts.
void BM_EngineActiveApiKeyQueueFull(benchmark::State& state) {
  vorn::VornEngine engine = make_engine("token_bucket", "active", std::string("key"));
  for (int i = 0; i < 10000; ++i) engine.check_request_with_identity(std::nullopt, "x", "/", 0);
  engine_check_loop(state, engine);
}
BENCHMARK(BM_EngineActiveApiKeyQueueFull);

void BM_EngineActiveApiKeyQueueEmpty(benchmark::State& state) {
  engine_check_loop(state, make_engine("token_bucket", "active", std::string("key")));
}
BENCHMARK(BM_EngineActiveApiKeyQueueEmpty)->Iterations(5000);

void BM_EngineDisabled(benchmark::State& state) {
  engine_check_loop(state, make_engine("token_bucket", "disabled"));
}
BENCHMARK(BM_EngineDisabled);

// 10,000,000 distinct clients, each seen once, arriving at 100,000 per
// simulated second, with a bucket of 10 refilled at 10 per second: reclaiming
// keeps only the clients of about the last second.
void BM_OneOffClientsResident(benchmark::State& state) {
  struct SimulatedClock {
    uint64_t now_ms = 1'700'000'000'000;
    static uint64_t read(const void* self) {
      return static_cast<const SimulatedClock*>(self)->now_ms;
    }
  } simulated;
  const vorn::Reclaiming reclaiming =
      state.range(0) == 1 ? vorn::Reclaiming::On : vorn::Reclaiming::Off;
  const uint64_t clients = static_cast<uint64_t>(state.range(1));
  double resident_mib = 0, keys_held = 0, process_mib = 0;
  for (auto _ : state) {
    const long before = resident_bytes();
    auto algorithm = std::make_unique<Algorithm>(Algorithm::from_name(
        "token_bucket", 10, 10, vorn::Clock(&SimulatedClock::read, &simulated), reclaiming));
    for (uint64_t n = 0; n < clients; ++n) {
      if (n % 100 == 0) simulated.now_ms += 1;  // 100 new clients per millisecond
      algorithm->check(ipv4_key(n));
    }
    resident_mib = double(resident_bytes() - before) / (1024 * 1024);
    keys_held = double(algorithm->keys_held());
    process_mib = double(resident_bytes()) / (1024 * 1024);
    state.PauseTiming();
    algorithm.reset();
    state.ResumeTiming();
  }
  state.counters["added_MiB"] = resident_mib;
  state.counters["process_MiB"] = process_mib;
  state.counters["keys_held"] = keys_held;
  state.SetLabel(reclaiming == vorn::Reclaiming::On ? "reclaiming" : "keeping every key");
}
BENCHMARK(BM_OneOffClientsResident)
    ->Args({1, 10'000'000})
    ->Args({0, 2'000'000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
