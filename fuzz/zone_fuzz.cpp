// libFuzzer target over shared-memory zones: the region is either the fuzzer's
// own bytes in a private buffer, or a valid zone in a memory file that the
// fuzzer then damages between checks (bytes at chosen offsets, lock words,
// the file's size). Attaching and checking must answer with a ZoneError or a
// result, never crash or touch memory outside the region (the sanitizers watch
// every access; a truncated file is absorbed by the fault guard). While the
// region is undamaged, every answer must equal that of the in-process store
// for the same configuration.
//
// Input: one byte picks the mode; in the valid mode the next bytes pick up to
// four configurations and then a program, one operation per byte plus operands.
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "algorithms/algorithm.h"
#include "fuzz_input.h"
#include "zone/fault_guard.h"
#include "zone/shared_lock.h"
#include "zone/zone_error.h"
#include "zone/zone_layout.h"
#include "zone/zone_limiter.h"

namespace vorn::fuzz {
namespace {

constexpr size_t kRegionBytes = 128 * 1024;
constexpr size_t kMaxOperations = 1024;
constexpr const char* kNames[] = {"token_bucket", "sliding_window", "fixed_window", "leaky_bucket"};

struct FreeDeleter {
  void operator()(void* memory) const { std::free(memory); }
};
using Region = std::unique_ptr<unsigned char, FreeDeleter>;

Region new_region() {
  Region region(static_cast<unsigned char*>(std::aligned_alloc(64, kRegionBytes)));
  if (!region) std::abort();
  std::memset(region.get(), 0, kRegionBytes);
  return region;
}

[[noreturn]] void mismatch(const char* what) {
  std::fprintf(stderr, "zone answer differs from the in-process store: %s\n", what);
  std::abort();
}

void compare(const AlgorithmResult& expected, const AlgorithmResult& actual) {
  if (expected.allowed != actual.allowed) mismatch("allowed");
  if (expected.reason != actual.reason) mismatch("reason");
  if (expected.remaining != actual.remaining) mismatch("remaining");
  if (expected.reset_after_ms != actual.reset_after_ms) mismatch("reset_after_ms");
  if (expected.retry_after_ms != actual.retry_after_ms) mismatch("retry_after_ms");
  if (expected.message.text() != actual.message.text()) mismatch("message");
}

// The fuzzer's bytes over an otherwise empty region: header validation.
void attach_raw(FuzzInput& in, const uint8_t* data, size_t size) {
  Region region = new_region();
  std::memcpy(region.get(), data, std::min(size, kRegionBytes));
  const size_t claimed = in.byte() % 2 == 0 ? kRegionBytes : std::min(size, kRegionBytes);
  try {
    auto view = std::make_shared<const zone::ZoneView>(
        zone::ZoneView::attach("raw", region.get(), claimed));
    ZoneLimiter limiter(view, Algorithm::zone_config(kNames[in.byte() % 4], 5, 1));
    for (int i = 0; i < 4; ++i) limiter.check(std::string(1, char('a' + i)));
  } catch (const ZoneError&) {
  }
}

struct Subject {
  Algorithm local;
  std::optional<ZoneLimiter> shared;
  bool comparable;
};

// A zone in a memory file of its own, mapped shared as a zone is, so that its
// size can change under the checks.
class FileRegion {
 public:
  FileRegion() : fd_(memfd_create("vorn-zone-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0 || ftruncate(fd_, kRegionBytes) != 0) std::abort();
    void* base = mmap(nullptr, kRegionBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (base == MAP_FAILED) std::abort();
    base_ = static_cast<unsigned char*>(base);
    guard_.emplace(base_, kRegionBytes, fd_);
  }
  FileRegion(const FileRegion&) = delete;
  FileRegion& operator=(const FileRegion&) = delete;
  ~FileRegion() {
    guard_.reset();
    munmap(base_, kRegionBytes);
    close(fd_);
  }
  unsigned char* get() const { return base_; }
  void resize(size_t size) {
    if (ftruncate(fd_, static_cast<off_t>(size)) != 0) std::abort();
  }
  bool faulted() const { return guard_->faulted(); }

 private:
  int fd_;
  unsigned char* base_ = nullptr;
  std::optional<zone::FaultGuard> guard_;
};

void run_valid(FuzzInput& in) {
  FileRegion region;
  const uint64_t keys[4] = {in.u64(), 2, 3, 4};
  zone::initialise_region(region.get(), kRegionBytes, zone::geometry_for(kRegionBytes), keys);
  zone::publish_ready(region.get());
  auto view = std::make_shared<const zone::ZoneView>(
      zone::ZoneView::attach("fuzz", region.get(), kRegionBytes));
  FuzzClock clock(1'700'000'000'000 + in.u64() % 1'000'000'000, /*forward_only=*/false);

  std::vector<Subject> subjects;
  const int count = 1 + in.byte() % 4;
  for (int i = 0; i < count; ++i) {
    const char* name = kNames[in.byte() % 4];
    const double capacity = in.f64();
    const double rate = in.f64();
    Subject subject{Algorithm::from_name(name, capacity, rate, clock.clock(), Reclaiming::Off),
                    std::nullopt, false};
    try {
      subject.shared.emplace(view, Algorithm::zone_config(name, capacity, rate), clock.clock());
    } catch (const ZoneError&) {
      continue;  // a sliding window too long for the pool is refused up front
    }
    // One configuration is one state per key: a second twin would not see it.
    bool repeated = false;
    for (const Subject& other : subjects) {
      repeated = repeated || other.shared->config_ref().id == subject.shared->config_ref().id;
    }
    if (repeated) continue;
    // Eight keys of logs this short never exhaust the pool, so no eviction
    // can make the zone forget what the in-process store keeps.
    const zone::ZoneConfig config = Algorithm::zone_config(name, capacity, rate);
    subject.comparable = config.kind != static_cast<uint32_t>(zone::Kind::SlidingWindow) ||
                         config.max_requests <= 150;
    subjects.push_back(std::move(subject));
  }
  if (subjects.empty()) return;

  bool damaged = false;
  for (size_t op = 0; op < kMaxOperations && !in.empty(); ++op) {
    const uint8_t code = in.byte();
    switch (code % 9) {
      case 0:
        clock.forward(uint64_t{in.byte()} * (in.byte() % 4 == 0 ? 1000u : 1u));
        break;
      case 1:
        clock.backward(in.byte());
        break;
      case 2: {  // damage some bytes anywhere in the region
        const uint32_t offset = static_cast<uint32_t>(in.u64() % kRegionBytes);
        const int length = 1 + in.byte() % 16;
        for (int i = 0; i < length && offset + i < kRegionBytes; ++i) {
          region.get()[offset + i] = in.byte();
        }
        damaged = true;
        break;
      }
      case 3:  // attaching again validates what is there now
        try {
          zone::ZoneView::attach("fuzz", region.get(), kRegionBytes);
        } catch (const ZoneError&) {
        }
        break;
      case 4:
        if (in.byte() % 2 == 0) {  // the file shrinks (and maybe grows back)
          region.resize(in.u64() % kRegionBytes);
          if (in.byte() % 2 == 0) region.resize(kRegionBytes);
        } else {  // a shard's or the table's lock word is overwritten
          const uint64_t word = in.u64();
          const size_t at = in.byte() % 2 == 0
                                ? offsetof(zone::ZoneHeader, config_lock)
                                : zone::kHeaderBytes + zone::kLockOffset;
          std::memcpy(region.get() + at, &word, sizeof word);
        }
        damaged = true;
        break;
      default: {
        Subject& subject = subjects[in.byte() % subjects.size()];
        const std::string key = "10.0.0." + std::to_string(in.byte() % 8);
        try {
          const AlgorithmResult shared = subject.shared->check(key);
          const AlgorithmResult local = subject.local.check(key);
          if (!damaged && subject.comparable) compare(local, shared);
        } catch (const ZoneError&) {
          if (!damaged) mismatch("a ZoneError from an undamaged region");
          return;  // the in-process twin no longer follows the same history
        }
        if (region.faulted()) return;  // what remains is private zero pages
      }
    }
  }
}

}  // namespace
}  // namespace vorn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorn;
  // A damaged lock word may look held by someone: do not wait for it.
  static const bool configured = [] {
    zone::set_lock_timeout(std::chrono::milliseconds(1));
    return true;
  }();
  (void)configured;
  fuzz::FuzzInput in(data, size);
  if (in.byte() % 4 == 0) {
    fuzz::attach_raw(in, data, size);
  } else {
    fuzz::run_valid(in);
  }
  return 0;
}
