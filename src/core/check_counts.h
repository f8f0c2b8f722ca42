// CheckCounts are an engine's checks counted by outcome: admitted, refused,
// would have been refused (shadow mode), let through unconsulted (disabled
// mode), and of those the ones its failure policy answered because its store
// could not be used. A CheckCounter keeps them for one engine.
//
// Thread-safety: CheckCounts is a plain value. A CheckCounter may be read
// (counts()) from any thread at any time. add_serialized() requires that every
// call for that outcome runs under one lock (the engine's limiter lock, or for
// a store's counter the shard lock of its shard), which lets it skip the
// locked read-modify-write; add_concurrent() needs no lock. One outcome is
// always counted the same way: disabled checks concurrently, the others
// serialised.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorn {

enum class CheckOutcomeKind : uint8_t {
  Allowed = 0,
  Refused = 1,
  ShadowRefused = 2,
  Disabled = 3,
  ByPolicy = 4,  // also counted as one of the above
};
inline constexpr size_t kCheckOutcomeKinds = 5;

struct CheckCounts {
  std::array<uint64_t, kCheckOutcomeKinds> values{};

  uint64_t& operator[](CheckOutcomeKind kind) { return values[static_cast<size_t>(kind)]; }
  uint64_t operator[](CheckOutcomeKind kind) const { return values[static_cast<size_t>(kind)]; }
  CheckCounts& operator+=(const CheckCounts& other) {
    for (size_t i = 0; i < kCheckOutcomeKinds; ++i) values[i] += other.values[i];
    return *this;
  }
  bool empty() const {
    for (uint64_t value : values) {
      if (value != 0) return false;
    }
    return true;
  }
};

// How a check counts itself in its store, under the key's shard lock: an
// admission as Allowed, a refusal as `refused` (ShadowRefused in shadow mode).
// The default counts nothing, leaving the count to the caller.
struct CountAs {
  bool counts = false;
  CheckOutcomeKind refused = CheckOutcomeKind::Refused;
};

class CheckCounter {
 public:
  void add_serialized(CheckOutcomeKind kind) {
    std::atomic<uint64_t>& count = counts_[static_cast<size_t>(kind)];
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  void add_concurrent(CheckOutcomeKind kind) {
    counts_[static_cast<size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
  }
  CheckCounts counts() const {
    CheckCounts read;
    for (size_t i = 0; i < kCheckOutcomeKinds; ++i) {
      read.values[i] = counts_[i].load(std::memory_order_relaxed);
    }
    return read;
  }

 private:
  std::array<std::atomic<uint64_t>, kCheckOutcomeKinds> counts_{};
};

}  // namespace vorn
