// Thread stress of the core, meant for a ThreadSanitizer build: eight threads
// check shared engines of every algorithm and mode, create and drop engines of
// their own at the same time, and keep checking an engine whose lock a failing
// clock poisons mid-run. Totals admitted must equal what the limiter allows.
// Exits non-zero on the first wrong total; TSan reports any data race.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "algorithms/fatal_error.h"
#include "core/engine.h"

namespace {

constexpr int kThreads = 8;
constexpr int kChecksPerThread = 4000;
constexpr int kClients = 16;

int failures = 0;

void expect(bool holds, const std::string& what) {
  if (!holds) {
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    ++failures;
  }
}

vorn::VornEngine make_engine(const char* algorithm, const char* mode, double capacity,
                             std::optional<std::string> api_key = "key",
                             vorn::Clock clock = vorn::Clock::system()) {
  return vorn::VornEngine(algorithm, mode, std::move(api_key), capacity, 0.0, 1.0, std::nullopt, {},
                          60000, "http://localhost:4000", clock);
}

template <typename Body>
void run_threads(Body body) {
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
}

// With a refill rate of 0 every limiter has a fixed lifetime allowance per
// client (the windows last far longer than the run), so concurrent checks must
// admit exactly that many per client, whatever the interleaving.
void shared_engines_admit_exact_totals() {
  struct Case {
    const char* algorithm;
    const char* mode;
    double capacity;
    uint64_t allowance;
  };
  const Case cases[] = {{"token_bucket", "active", 50.7, 50},
                        {"sliding_window", "active", 40, 40},
                        {"fixed_window", "shadow", 30, 30},
                        {"leaky_bucket", "active", 20.5, 21},
                        {"unknown", "shadow", 10, 10}};
  for (const Case& c : cases) {
    const vorn::VornEngine engine = make_engine(c.algorithm, c.mode, c.capacity);
    std::atomic<uint64_t> admitted{0}, passed{0};
    run_threads([&](int t) {
      for (int i = 0; i < kChecksPerThread; ++i) {
        const std::string ip = "10.0.0." + std::to_string((i + t) % kClients);
        const auto outcome = engine.check_request_with_identity(std::nullopt, ip, "/", 0);
        if (!outcome.would_block) admitted.fetch_add(1, std::memory_order_relaxed);
        if (outcome.allowed) passed.fetch_add(1, std::memory_order_relaxed);
      }
    });
    const std::string label = std::string(c.algorithm) + "/" + c.mode;
    expect(admitted == c.allowance * kClients,
           label + ": admitted " + std::to_string(admitted.load()) + ", allowance " +
               std::to_string(c.allowance * kClients));
    const uint64_t total = uint64_t{kThreads} * kChecksPerThread;
    expect(passed == (std::string(c.mode) == "shadow" ? total : admitted.load()),
           label + ": requests let through");
    expect(engine.telemetry().size() == std::min<uint64_t>(total, 10000),
           label + ": telemetry bound");
  }
}

// Engines built and dropped on every thread while a shared one keeps answering.
void engines_come_and_go() {
  const vorn::VornEngine shared = make_engine("token_bucket", "active", 1e9);
  std::atomic<uint64_t> shared_checks{0};
  run_threads([&](int t) {
    const char* algorithms[] = {"token_bucket", "sliding_window", "fixed_window", "leaky_bucket"};
    const char* modes[] = {"active", "shadow", "disabled"};
    for (int i = 0; i < 300; ++i) {
      const auto engine = make_engine(algorithms[i % 4], modes[(i + t) % 3], 3,
                                      i % 2 ? std::optional<std::string>() : "k");
      uint64_t admitted = 0;
      for (int k = 0; k < 5; ++k) {
        admitted += engine.check_request_with_identity("id", "ip", "/", 0).allowed;
      }
      expect(admitted == (modes[(i + t) % 3] == std::string("active") ? 3 : 5),
             "fresh engine allowance");
      shared.check_request_with_identity(std::nullopt, "ip" + std::to_string(t), "/", 0);
      shared_checks.fetch_add(1, std::memory_order_relaxed);
    }
  });
  expect(shared_checks == 300 * kThreads, "shared engine answered every thread");
}

// A clock that fails exactly one reading, from whichever thread gets it.
struct FailOnceClock {
  std::atomic<uint64_t> reads{0};
  uint64_t failing_read;
  static uint64_t read(const void* context) {
    auto* self = static_cast<FailOnceClock*>(const_cast<void*>(context));
    if (self->reads.fetch_add(1) + 1 == self->failing_read) {
      vorn::throw_clock_before_epoch(1, 0);
    }
    return 1'700'000'000'000;
  }
};

// One failing reading inside the limiter poisons the engine for every thread;
// disabled checks keep working, and nothing crashes on the way.
void poisoning_under_contention() {
  FailOnceClock source{{}, 500};
  const vorn::VornEngine engine =
      make_engine("leaky_bucket", "active", 1e9, "k", vorn::Clock(&FailOnceClock::read, &source));
  const vorn::VornEngine disabled = make_engine("leaky_bucket", "disabled", 1);
  std::atomic<uint64_t> answered{0}, poisoned{0}, clock_failures{0};
  run_threads([&](int t) {
    for (int i = 0; i < 500; ++i) {
      try {
        engine.check_request_with_identity(std::nullopt, std::to_string(t), "/", 0);
        answered.fetch_add(1);
      } catch (const vorn::FatalError& error) {
        const std::string message = error.what();
        if (message.find("PoisonError") != std::string::npos) {
          poisoned.fetch_add(1);
        } else {
          clock_failures.fetch_add(1);
        }
      }
      expect(disabled.check_request_with_identity(std::nullopt, "x", "/", 0).allowed,
             "disabled engine answers");
    }
  });
  expect(clock_failures == 1, "exactly one clock failure");
  expect(answered + poisoned + clock_failures == 500 * kThreads, "every check accounted for");
}

}  // namespace

int main() {
  shared_engines_admit_exact_totals();
  engines_come_and_go();
  poisoning_under_contention();
  if (failures != 0) return 1;
  std::printf("engine stress: %d threads, all totals exact\n", kThreads);
  return 0;
}
