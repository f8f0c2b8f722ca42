// Helpers for tests of shared-memory zones: a zone name unique to the test
// process, removed when the holder goes, and a raw mapping of a zone's file
// to damage it as any other process could.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>

#include "zone/zone_layout.h"
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

// The first `bytes` of a zone's file, mapped shared (a zone of one shard when
// `bytes` is its whole size).
class RawZone {
 public:
  RawZone(const std::string& zone, uint64_t bytes) : bytes_(bytes) {
    const int fd = open(zone::zone_stats(zone).path.c_str(), O_RDWR);
    void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    base = mapped == MAP_FAILED ? nullptr : static_cast<unsigned char*>(mapped);
  }
  RawZone(const RawZone&) = delete;
  RawZone& operator=(const RawZone&) = delete;
  ~RawZone() {
    if (base != nullptr) munmap(base, bytes_);
  }
  // The first slot of configuration `config` in shard 0.
  zone::Slot* slot_of(uint32_t config) const {
    for (uint64_t at = zone::kHeaderBytes + zone::kSetsOffset; at + 64 <= bytes_; at += 64) {
      auto* slot = reinterpret_cast<zone::Slot*>(base + at);
      if (slot->config == config) return slot;
    }
    return nullptr;
  }
  // Log block `index` of shard 0.
  zone::Block* block(uint32_t index) const {
    const auto* header = reinterpret_cast<const zone::ZoneHeader*>(base);
    const uint64_t blocks =
        zone::kHeaderBytes + zone::kSetsOffset + uint64_t{header->sets_per_shard} * zone::kSetBytes;
    return reinterpret_cast<zone::Block*>(base + blocks) + index;
  }
  unsigned char* base;

 private:
  uint64_t bytes_;
};

}  // namespace vorn::testing
