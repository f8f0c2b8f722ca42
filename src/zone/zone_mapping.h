// A ZoneMapping is one process's mapping of a named shared-memory zone: the
// file "<directory>/vorn.<name>.zone-v<layout>" on a memory file system. The
// directory is the one the caller names, else $XDG_RUNTIME_DIR, else
// /dev/shm/vorn-<euid> (made 0700); it must belong to the effective user and
// be closed to others' writes, so no other user can take or squat a name. The
// layout version in the file name lets releases with different layouts run
// side by side, each on its own zone.
//
// A zone appears whole or not at all: it is made as an unnamed file, sized
// with every page reserved (a size that the file system cannot back is
// refused then, never a SIGBUS later), laid out, and only then linked under
// its name, mode 0600 whatever the umask. A file under the name that does not
// validate (garbage, a foreign layout, a size that disagrees with its header)
// is replaced by a fresh zone, under a lock file that serialises the makers
// of one directory. Zone state is soft: clients then start fresh.
//
// Within a process every engine on the same file shares one mapping through a
// registry; the mapping is unmapped when its last holder lets go. A mapping is
// guarded against the file being truncated under it (see FaultGuard). All
// functions are thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "zone/fault_guard.h"
#include "zone/zone_layout.h"

namespace vorn::zone {

// Test seam: when set, called at each step of making a zone file (1: the
// unnamed file exists, 2: its pages are reserved, 3: it is laid out and
// published, 4: a damaged file under the name is gone, 5: it has its name).
// Never set by the library.
inline void (*zone_creation_hook)(int step) = nullptr;

class ZoneMapping {
 public:
  // Takes over `base` (a MAP_SHARED mapping of `size` bytes of `fd`) and `fd`
  // once the region validates as zone `name`; throws ZoneError, owning
  // neither, when it does not.
  ZoneMapping(std::string_view name, void* base, uint64_t size, int fd, std::string path);
  ZoneMapping(const ZoneMapping&) = delete;
  ZoneMapping& operator=(const ZoneMapping&) = delete;
  ~ZoneMapping();

  const ZoneView& view() const { return view_; }
  const std::string& path() const { return path_; }
  bool is_object(dev_t device, ino_t inode) const { return device_ == device && inode_ == inode; }

  // Whether the mapping can no longer be trusted: its file was truncated
  // under it, or is shorter now than what is mapped. One load, then a
  // system call only when `thorough`.
  bool broken(bool thorough = false) const;
  // Whether the zone's name still names this mapping's file.
  bool still_named() const;

 private:
  void* base_;
  uint64_t size_;
  int fd_;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  FaultGuard guard_;  // before view_: validating reads the region
  ZoneView view_;
};

// Fills `keys` from the operating system's random source (else with words no
// other zone shares): the hash keys of a new zone, or of a file beside it.
void random_keys(uint64_t (&keys)[4]);

// Throws InvalidZoneName unless `name` is 1 to 64 characters of [A-Za-z0-9_.-].
void validate_zone_name(std::string_view name);

// The directory zones live in (see above). Throws ZoneError when `directory`
// is given but is not a directory of the effective user closed to others'
// writes, or when no default place can be used; the message names the path
// in the way and what to do.
std::string zone_directory(const std::optional<std::string>& directory);

// The file of zone `name` in `directory`.
std::string zone_path(const std::string& directory, std::string_view name);

// What open_zone found: the mapping, and why the file it replaced had to go
// (empty when nothing was replaced).
struct OpenedZone {
  std::shared_ptr<const ZoneMapping> mapping;
  std::string replaced;
};

// The bytes a new zone gets: `size_bytes`, or by default kDefaultZoneBytes
// or half the room free where it lives when that is less. Throws ZoneError
// when the size given cannot be backed there, naming both and zone_size.
uint64_t size_for_new_zone(std::string_view name, const std::string& directory,
                           std::optional<uint64_t> size_bytes);

// Attaches the zone, creating it with size_for_new_zone() bytes if it does
// not exist, or replacing what is under its name when that does not
// validate; an existing zone is never resized. Throws InvalidZoneName for a
// bad name, ZoneRefusal for a size out of bounds or one the place cannot
// back, ZoneError otherwise.
OpenedZone open_zone(std::string_view name, std::optional<uint64_t> size_bytes,
                     const std::optional<std::string>& directory = std::nullopt);

// Removes the zone's name; true when it existed. Processes that have it mapped
// keep their mapping until they notice (within a second) and follow the name.
// Throws InvalidZoneName, or ZoneError on any other failure.
bool remove_zone(std::string_view name, const std::optional<std::string>& directory = std::nullopt);

struct ZoneStats {
  uint64_t keys = 0;
  uint64_t capacity = 0;
  uint64_t evictions = 0;
  uint64_t reclaimed = 0;
  uint64_t recoveries = 0;    // dead lock holders whose writes were undone
  uint64_t repairs = 0;       // shards and client states found damaged and reset
  uint64_t replacements = 0;  // damaged zones replaced by a fresh one under this name
  uint64_t size_bytes = 0;
  uint64_t configs = 0;
  std::string path;
};

// Counters of an attached zone, read without locks (each a consistent word).
ZoneStats stats_of(const ZoneMapping& mapping);

// The named zone as it is, mapped (this process's mapping when it has one);
// never created. Throws InvalidZoneName or ZoneError (also when it does not
// exist or does not validate).
std::shared_ptr<const ZoneMapping> map_existing_zone(
    std::string_view name, const std::optional<std::string>& directory = std::nullopt);

// Counters of the named zone. Throws InvalidZoneName or ZoneError (also when
// it does not exist or does not validate).
ZoneStats zone_stats(std::string_view name,
                     const std::optional<std::string>& directory = std::nullopt);

}  // namespace vorn::zone
