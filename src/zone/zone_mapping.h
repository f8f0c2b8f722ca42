// A ZoneMapping is one process's mapping of a named shared-memory zone: the
// POSIX shared-memory object "/vorn.<euid>.<name>" (under /dev/shm), created
// 0600 by the first process that names it and attached by every later one.
// Attaching refuses an object that another user owns, that group or others may
// access, or whose header does not validate.
//
// Within a process every engine naming the same zone shares one mapping
// through a registry: the mapping is unmapped when its last holder lets go. A
// zone removed and created again under the same name is a new object and gets
// a new mapping. All functions are thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "zone/zone_layout.h"

namespace vorn::zone {

class ZoneMapping {
 public:
  ZoneMapping(void* base, uint64_t size, ZoneView view, dev_t device, ino_t inode)
      : base_(base), size_(size), view_(std::move(view)), device_(device), inode_(inode) {}
  ZoneMapping(const ZoneMapping&) = delete;
  ZoneMapping& operator=(const ZoneMapping&) = delete;
  ~ZoneMapping();

  const ZoneView& view() const { return view_; }
  bool is_object(dev_t device, ino_t inode) const { return device_ == device && inode_ == inode; }

 private:
  void* base_;
  uint64_t size_;
  ZoneView view_;
  dev_t device_;
  ino_t inode_;
};

// Throws InvalidZoneName unless `name` is 1 to 64 characters of [A-Za-z0-9_.-].
void validate_zone_name(std::string_view name);

// The shared-memory object's name for `name` under the effective user.
std::string object_name(std::string_view name);

// Attaches the zone, creating it with `size_bytes` (the default when absent)
// if it does not exist; an existing zone is never resized and its size is
// not compared with `size_bytes`. Throws InvalidZoneName or ZoneError.
std::shared_ptr<const ZoneMapping> open_zone(std::string_view name,
                                             std::optional<uint64_t> size_bytes);

// Attaches an existing zone only. Throws InvalidZoneName, or ZoneError when it
// does not exist or does not validate.
std::shared_ptr<const ZoneMapping> attach_existing_zone(std::string_view name);

// Removes the zone's name; true when it existed. Processes that have it mapped
// keep their mapping. Throws InvalidZoneName, or ZoneError on any other failure.
bool remove_zone(std::string_view name);

struct ZoneStats {
  uint64_t keys = 0;
  uint64_t capacity = 0;
  uint64_t evictions = 0;
  uint64_t reclaimed = 0;
  uint64_t recoveries = 0;
  uint64_t size_bytes = 0;
  uint64_t configs = 0;
};

// Counters of an attached zone, read without locks (each a consistent word).
ZoneStats stats_of(const ZoneView& zone);

// Counters of the named zone. Throws InvalidZoneName or ZoneError.
ZoneStats zone_stats(std::string_view name);

}  // namespace vorn::zone
