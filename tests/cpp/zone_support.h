// Helpers for tests of shared-memory zones: a zone name unique to the test
// process, removed when the holder goes.
#pragma once

#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>

#include "zone/zone_mapping.h"
#include "zone/zone_placement.h"

namespace vorn::testing {

inline ZonePlacement placement(const std::string& zone,
                               std::optional<uint64_t> size_bytes = std::nullopt,
                               FailurePolicy on_error = FailurePolicy::Local) {
  return ZonePlacement{zone, size_bytes, std::nullopt, on_error};
}

class ScratchZone {
 public:
  explicit ScratchZone(const std::string& tag)
      : name_("t" + std::to_string(getpid()) + "-" + tag + "-" + std::to_string(counter()++)) {
    zone::remove_zone(name_);
  }
  ScratchZone(const ScratchZone&) = delete;
  ScratchZone& operator=(const ScratchZone&) = delete;
  ~ScratchZone() { zone::remove_zone(name_); }
  const std::string& name() const { return name_; }

 private:
  static std::atomic<int>& counter() {
    static std::atomic<int> next{0};
    return next;
  }
  std::string name_;
};

}  // namespace vorn::testing
