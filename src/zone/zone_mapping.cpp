#include "zone/zone_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "zone/zone_error.h"

namespace vorn::zone {
namespace {

// A file descriptor closed when the owner goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// A mapping unmapped when the owner goes, unless released to a ZoneMapping.
class MappedRegion {
 public:
  MappedRegion(void* base, uint64_t size) : base_(base), size_(size) {}
  MappedRegion(const MappedRegion&) = delete;
  MappedRegion& operator=(const MappedRegion&) = delete;
  ~MappedRegion() {
    if (base_ != nullptr) munmap(base_, size_);
  }
  void* get() const { return base_; }
  void* release() { return std::exchange(base_, nullptr); }

 private:
  void* base_;
  uint64_t size_;
};

std::string system_error(std::string_view what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

std::string text_of(uint64_t value) { return std::to_string(value); }

// The registry: one mapping per shared-memory object per process.
std::mutex registry_mutex;
std::map<std::string, std::weak_ptr<const ZoneMapping>>& registry() {
  static auto* mappings = new std::map<std::string, std::weak_ptr<const ZoneMapping>>();
  return *mappings;
}

MappedRegion map_region(std::string_view name, int fd, uint64_t size) {
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) throw_zone_error(name, system_error("cannot map", errno));
  return MappedRegion(base, size);
}

// Refuses an object that is not ours alone; returns its size.
struct stat trusted_stat(std::string_view name, int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) throw_zone_error(name, system_error("cannot inspect", errno));
  if (!S_ISREG(info.st_mode)) throw_zone_error(name, "not a shared-memory file");
  if (info.st_uid != geteuid()) throw_zone_error(name, "owned by another user");
  if ((info.st_mode & 077) != 0) {
    throw_zone_error(name, "accessible to group or others (mode " +
                               std::to_string(info.st_mode & 0777) + " in decimal); refused");
  }
  return info;
}

void random_keys(uint64_t (&keys)[4]) {
  size_t filled = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(keys);
  while (filled < sizeof keys) {
    const ssize_t got = getrandom(bytes + filled, sizeof keys - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      // No random source: fall back to something no other zone shares.
      const uint64_t mix =
          static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      for (uint64_t& key : keys) key ^= mix * 0x9E3779B97F4A7C15ULL + getpid();
      return;
    }
    filled += static_cast<size_t>(got);
  }
}

std::shared_ptr<const ZoneMapping> adopt(std::string_view name, MappedRegion& region, uint64_t size,
                                         const struct stat& info) {
  ZoneView view = ZoneView::attach(name, region.get(), size);
  auto mapping =
      std::make_shared<const ZoneMapping>(region.get(), size, view, info.st_dev, info.st_ino);
  region.release();
  return mapping;
}

std::shared_ptr<const ZoneMapping> create_zone(std::string_view name, const std::string& object,
                                               uint64_t size_bytes, int fd) {
  Descriptor owned(fd);
  // Whatever fails from here on leaves no half-made zone behind.
  struct Unlinker {
    const std::string& object;
    bool armed = true;
    ~Unlinker() {
      if (armed) shm_unlink(object.c_str());
    }
  } unlinker{object};
  if (ftruncate(fd, static_cast<off_t>(size_bytes)) != 0) {
    throw_zone_error(name, system_error("cannot size", errno));
  }
  struct stat info = trusted_stat(name, fd);
  MappedRegion region = map_region(name, fd, size_bytes);
  uint64_t keys[4] = {};
  random_keys(keys);
  initialise_region(name, region.get(), size_bytes, geometry_for(size_bytes), keys);
  publish_ready(region.get());
  unlinker.armed = false;
  return adopt(name, region, size_bytes, info);
}

// Waits (up to a second) for a zone's creator to publish it; a region that
// cannot be a zone in the making (another magic number) is not waited for.
void wait_until_ready(const void* base) {
  const auto& magic = static_cast<const ZoneHeader*>(base)->magic;
  for (int waited = 0; waited < 1000 && !is_ready(base); ++waited) {
    const uint64_t seen =
        std::atomic_ref<uint64_t>(const_cast<uint64_t&>(magic)).load(std::memory_order_relaxed);
    if (seen != 0 && seen != kMagic) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::shared_ptr<const ZoneMapping> attach_fd(std::string_view name, int fd) {
  Descriptor owned(fd);
  struct stat info = trusted_stat(name, fd);
  {
    std::lock_guard lock(registry_mutex);
    auto found = registry().find(std::string(name));
    if (found != registry().end()) {
      if (auto mapping = found->second.lock();
          mapping && mapping->is_object(info.st_dev, info.st_ino)) {
        return mapping;
      }
    }
  }
  // A creator between shm_open and ftruncate gets the same second as one
  // between ftruncate and publishing.
  for (int waited = 0; waited < 1000 && static_cast<uint64_t>(info.st_size) < kHeaderBytes;
       ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (fstat(fd, &info) != 0) break;
  }
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (size < kHeaderBytes) {
    throw_zone_error(name,
                     "too small: " + text_of(size) + " bytes, at least " + text_of(kMinZoneBytes));
  }
  MappedRegion region = map_region(name, fd, size);
  wait_until_ready(region.get());
  return adopt(name, region, size, info);
}

std::shared_ptr<const ZoneMapping> remember(std::string_view name,
                                            std::shared_ptr<const ZoneMapping> mapping) {
  std::lock_guard lock(registry_mutex);
  registry()[std::string(name)] = mapping;
  return mapping;
}

}  // namespace

ZoneMapping::~ZoneMapping() { munmap(base_, size_); }

void validate_zone_name(std::string_view name) {
  bool valid = !name.empty() && name.size() <= 64;
  for (char c : name) {
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
    valid = valid && allowed;
  }
  if (!valid) {
    throw InvalidZoneName(
        "invalid zone name: use 1 to 64 characters from A-Z, a-z, 0-9, '_', '.', '-'");
  }
}

std::string object_name(std::string_view name) {
  return "/vorn." + std::to_string(geteuid()) + "." + std::string(name);
}

std::shared_ptr<const ZoneMapping> open_zone(std::string_view name,
                                             std::optional<uint64_t> size_bytes) {
  validate_zone_name(name);
  const uint64_t size = size_bytes.value_or(kDefaultZoneBytes);
  if (size < kMinZoneBytes) {
    throw_zone_error(name,
                     "too small: " + text_of(size) + " bytes, at least " + text_of(kMinZoneBytes));
  }
  if (size > kMaxZoneBytes) {
    throw_zone_error(name,
                     "too large: " + text_of(size) + " bytes, at most " + text_of(kMaxZoneBytes));
  }
  const std::string object = object_name(name);
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return remember(name, create_zone(name, object, size, fd));
    if (errno != EEXIST) throw_zone_error(name, system_error("cannot create", errno));
    fd = shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0) return remember(name, attach_fd(name, fd));
    if (errno != ENOENT) throw_zone_error(name, system_error("cannot open", errno));
    // Removed between the two calls: try creating it again.
  }
  throw_zone_error(name, "created and removed again while attaching");
}

std::shared_ptr<const ZoneMapping> attach_existing_zone(std::string_view name) {
  validate_zone_name(name);
  const std::string object = object_name(name);
  const int fd = shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) {
    if (errno == ENOENT) throw_zone_error(name, "does not exist");
    throw_zone_error(name, system_error("cannot open", errno));
  }
  return remember(name, attach_fd(name, fd));
}

bool remove_zone(std::string_view name) {
  validate_zone_name(name);
  if (shm_unlink(object_name(name).c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  throw_zone_error(name, system_error("cannot remove", errno));
}

ZoneStats stats_of(const ZoneView& zone) {
  ZoneStats stats;
  const Geometry& geometry = zone.geometry();
  for (uint32_t shard = 0; shard < geometry.shard_count; ++shard) {
    auto& state = *reinterpret_cast<ShardState*>(zone.shard_base(shard) + kStateOffset);
    const auto read = [](uint64_t& field) {
      return std::atomic_ref<uint64_t>(field).load(std::memory_order_relaxed);
    };
    stats.keys += read(state.keys);
    stats.evictions += read(state.evictions);
    stats.reclaimed += read(state.reclaimed);
    stats.recoveries += read(state.recoveries);
  }
  stats.capacity = geometry.slot_count();
  stats.size_bytes = zone.size_bytes();
  stats.configs = zone.config_count();
  return stats;
}

ZoneStats zone_stats(std::string_view name) { return stats_of(attach_existing_zone(name)->view()); }

}  // namespace vorn::zone
