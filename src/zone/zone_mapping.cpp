#include "zone/zone_mapping.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "core/fork_guard.h"
#include "zone/zone_error.h"

namespace vorn::zone {
namespace {

constexpr auto kLockFileWait = std::chrono::seconds(2);
constexpr int kDefaultDirectoryTries = 4;

// A file descriptor closed when the owner goes, unless released.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// A mapping unmapped when the owner goes, unless released.
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

std::string mib_text(uint64_t bytes) {
  return text_of(bytes) + " bytes (" + text_of(bytes >> 20) + " MiB)";
}

// The registry: one mapping per zone file per process. A fork never leaves
// its mutex held (its holder takes no other lock meanwhile).
ForkSafeMutex registry_mutex{LockLevel::Leaf};
std::map<std::pair<dev_t, ino_t>, std::weak_ptr<const ZoneMapping>>& registry() {
  static auto* mappings = new std::map<std::pair<dev_t, ino_t>, std::weak_ptr<const ZoneMapping>>();
  return *mappings;
}

std::shared_ptr<const ZoneMapping> registered(const struct stat& info) {
  std::lock_guard lock(registry_mutex);
  auto found = registry().find({info.st_dev, info.st_ino});
  if (found == registry().end()) return nullptr;
  auto mapping = found->second.lock();
  // A mapping that absorbed a truncation is of no more use to anyone.
  return mapping && !mapping->broken(true) ? mapping : nullptr;
}

std::shared_ptr<const ZoneMapping> remember(std::shared_ptr<const ZoneMapping> mapping,
                                            const struct stat& info) {
  std::lock_guard lock(registry_mutex);
  std::erase_if(registry(), [](const auto& entry) { return entry.second.expired(); });
  auto& slot = registry()[{info.st_dev, info.st_ino}];
  if (auto existing = slot.lock(); existing && !existing->broken()) return existing;
  slot = mapping;
  return mapping;
}

// Whether `path` is a directory of the effective user that others cannot write
// (`strict`: nor enter). Never follows a symbolic link.
bool own_directory(const std::string& path, bool strict, struct stat* seen = nullptr) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return false;
  if (seen != nullptr) *seen = info;
  const mode_t closed = strict ? 077 : 022;
  return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & closed) == 0;
}

std::string owner_text(const struct stat& info) {
  if (!S_ISDIR(info.st_mode)) return "is not a directory";
  if (info.st_uid != geteuid()) return "belongs to user " + text_of(info.st_uid);
  return "is open to other users (mode " + std::to_string((info.st_mode >> 6) & 7) +
         std::to_string((info.st_mode >> 3) & 7) + std::to_string(info.st_mode & 7) + ")";
}


// The lock file that serialises the makers and replacers of a directory's
// zones. flock is dropped by the kernel when its holder dies, so a killed
// maker never blocks the next; a stopped one is waited for at most 2 s.
class DirectoryLock {
 public:
  DirectoryLock(std::string_view zone, const std::string& directory) {
    const std::string path = directory + "/.vorn-zones.lock";
    // Read-only is enough for flock, and opens whatever mode a umask gave it.
    fd_ = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) throw_zone_error(zone, system_error("cannot open " + path, errno));
    const auto deadline = std::chrono::steady_clock::now() + kLockFileWait;
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error != EWOULDBLOCK && error != EINTR) {
        close(fd_);
        throw_zone_error(zone, system_error("cannot lock " + path, error));
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        close(fd_);
        throw_zone_error(zone, "another process has been making a zone in " + directory +
                                   " for more than 2 s (a stopped process?)");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock() { close(fd_); }  // closing drops the lock

 private:
  int fd_ = -1;
};

uint64_t room_in(std::string_view zone, const std::string& directory) {
  struct statvfs info {};
  if (statvfs(directory.c_str(), &info) != 0) {
    throw_zone_error(zone, system_error("cannot inspect " + directory, errno));
  }
  return uint64_t{info.f_bavail} * info.f_frsize;
}

[[noreturn]] void no_room(std::string_view zone, const std::string& directory, uint64_t asked,
                          uint64_t room) {
  throw_zone_refusal(zone, "cannot reserve " + mib_text(asked) + " in " + directory + ": " +
                             mib_text(room) +
                             " free there; give a smaller zone_size / zoneSize, or more room "
                             "(a container's --shm-size)");
}

// What `fd`, opened at `path`, is, once it is known to be a file of ours; one
// that others could reach is closed to them. Throws ZoneError naming what is
// in the way otherwise.
struct stat own_file(std::string_view name, const std::string& path, int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) throw_zone_error(name, system_error("cannot inspect", errno));
  if (!S_ISREG(info.st_mode)) throw_zone_error(name, path + " is not a file; remove it");
  if (info.st_uid != geteuid()) {
    throw_zone_error(name, path + " belongs to user " + text_of(info.st_uid) +
                               "; remove it, or name another zone_dir / zoneDir");
  }
  if ((info.st_mode & 077) != 0) fchmod(fd, 0600);
  return info;
}

// Maps `fd` (whose file has `size` bytes) and validates it as a zone, or says
// why it is not one.
struct Attached {
  std::shared_ptr<const ZoneMapping> mapping;
  std::string problem;
};

Attached attach_file(std::string_view name, const std::string& path, Descriptor& fd,
                     const struct stat& info) {
  if (auto mapping = registered(info)) return {mapping, {}};
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (size < kHeaderBytes) return {nullptr, "too small: " + text_of(size) + " bytes"};
  if (size > kMaxZoneBytes) return {nullptr, "too large: " + text_of(size) + " bytes"};
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (base == MAP_FAILED) throw_zone_error(name, system_error("cannot map", errno));
  MappedRegion region(base, size);
  try {
    auto mapping = std::make_shared<const ZoneMapping>(name, base, size, fd.get(), path);
    region.release();
    fd.release();
    return {remember(std::move(mapping), info), {}};
  } catch (const ZoneError& error) {
    return {nullptr, zone_problem(error, name)};
  }
}

// Replacements recorded by the zone in `fd`, when its header can be read.
uint64_t replacements_of(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || static_cast<uint64_t>(info.st_size) < kHeaderBytes) return 0;
  ZoneHeader header{};
  if (pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return 0;
  if (header.magic != kMagic || header.replacements > (uint64_t{1} << 40)) return 0;
  return header.replacements;
}

// Makes a complete zone of `size` bytes as an unnamed file of `directory` and
// gives it the name `path` (replacing what is there when `replace`). Requires
// the directory's lock.
void make_zone_file(std::string_view name, const std::string& directory, const std::string& path,
                    uint64_t size, uint64_t replacements, bool replace) {
  Descriptor fd(open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  std::string temporary;
  if (fd.get() < 0) {
    // No unnamed files here: a hidden name that nobody attaches.
    char suffix[48];
    uint64_t nonce[4] = {};
    random_keys(nonce);
    std::snprintf(suffix, sizeof suffix, ".%d.%016llx", static_cast<int>(getpid()),
                  static_cast<unsigned long long>(nonce[0]));
    temporary = directory + "/.vorn." + std::string(name) + suffix + ".tmp";
    fd.reset(open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0) throw_zone_error(name, system_error("cannot create in " + directory, errno));
  }
  const auto step = [](int reached) {
    if (zone_creation_hook != nullptr) zone_creation_hook(reached);
  };
  step(1);
  struct Unlinker {
    const std::string& path;
    ~Unlinker() {
      if (!path.empty()) unlink(path.c_str());
    }
  } unlinker{temporary};
  if (fchmod(fd.get(), 0600) != 0) throw_zone_error(name, system_error("cannot set mode", errno));
  const int reserved = posix_fallocate(fd.get(), 0, static_cast<off_t>(size));
  if (reserved == ENOSPC) no_room(name, directory, size, room_in(name, directory));
  if (reserved != 0) {
    // A file system that cannot reserve: at least never give a sparse zone
    // larger than the room there.
    if (size > room_in(name, directory)) no_room(name, directory, size, room_in(name, directory));
    if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
      throw_zone_error(name, system_error("cannot size", errno));
    }
  }
  step(2);
  {
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED) throw_zone_error(name, system_error("cannot map", errno));
    MappedRegion region(base, size);
    uint64_t keys[4] = {};
    random_keys(keys);
    initialise_region(base, size, geometry_for(size), keys, replacements);
    publish_ready(base);
  }
  step(3);
  if (replace && unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw_zone_error(name, system_error("cannot replace " + path, errno));
  }
  if (replace) step(4);
  int linked = -1;
  if (temporary.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    linked = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno == ENOENT) {
      linked = linkat(fd.get(), "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH);  // no /proc
    }
  } else {
    linked = link(temporary.c_str(), path.c_str());
  }
  if (linked != 0) throw_zone_error(name, system_error("cannot name " + path, errno));
  step(5);
}

}  // namespace

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

ZoneMapping::ZoneMapping(std::string_view name, void* base, uint64_t size, int fd,
                         std::string path)
    : base_(base),
      size_(size),
      fd_(fd),
      path_(std::move(path)),
      guard_(base, size, fd),
      view_(ZoneView::attach(name, base, size)) {
  struct stat info {};
  if (fstat(fd, &info) == 0) {
    device_ = info.st_dev;
    inode_ = info.st_ino;
  }
  if (guard_.faulted() || static_cast<uint64_t>(info.st_size) < size) {
    throw_zone_error(name, "truncated while attaching");
  }
}

ZoneMapping::~ZoneMapping() {
  guard_.stop();
  munmap(base_, size_);
  close(fd_);
}

bool ZoneMapping::broken(bool thorough) const {
  if (guard_.faulted()) return true;
  if (!thorough) return false;
  struct stat info {};
  return fstat(fd_, &info) != 0 || static_cast<uint64_t>(info.st_size) < size_;
}

bool ZoneMapping::still_named() const {
  struct stat info {};
  return stat(path_.c_str(), &info) == 0 && is_object(info.st_dev, info.st_ino);
}

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

std::string zone_directory(const std::optional<std::string>& directory) {
  if (directory) {
    struct stat info {};
    if (directory->find('\0') != std::string::npos) {
      // The system would read only up to it: another directory than named.
      std::string shown;
      for (char c : *directory) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
      throw ZoneError("zone directory '" + shown + "' holds a NUL character");
    }
    if (directory->empty() || (*directory)[0] != '/') {
      throw ZoneError("zone directory '" + *directory + "' is not an absolute path");
    }
    if (lstat(directory->c_str(), &info) != 0) {
      throw ZoneError(system_error("zone directory '" + *directory + "'", errno));
    }
    if (!own_directory(*directory, false)) {
      throw ZoneError("zone directory '" + *directory + "' " + owner_text(info) +
                      "; name a directory of your own that others cannot write");
    }
    return *directory;
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime != nullptr && runtime[0] == '/' && own_directory(runtime, true)) {
    return runtime;
  }
  // A name others can predict: one taken by another user is passed over for
  // the next, all processes of the user trying them in the same order.
  const std::string first = "/dev/shm/vorn-" + text_of(geteuid());
  struct stat in_the_way {};
  for (int attempt = 0; attempt < kDefaultDirectoryTries; ++attempt) {
    const std::string path = attempt == 0 ? first : first + "." + text_of(attempt);
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      throw ZoneError(system_error("cannot make " + path, errno));
    }
    struct stat info {};
    const bool closed = own_directory(path, true, &info);
    // Ours, but made too open or too closed for ourselves by some umask.
    if (S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 0777) != 0700 &&
        chmod(path.c_str(), 0700) == 0) {
      return path;
    }
    if (closed) return path;
    if (attempt == 0) in_the_way = info;
  }
  throw ZoneError("'" + first + "' " + owner_text(in_the_way) +
                  ", as do the names after it; remove them (as root), or name a directory "
                  "of your own with zone_dir / zoneDir");
}

std::string zone_path(const std::string& directory, std::string_view name) {
  return directory + "/vorn." + std::string(name) + ".zone-v" + text_of(kLayoutVersion);
}

uint64_t size_for_new_zone(std::string_view name, const std::string& directory,
                           std::optional<uint64_t> size_bytes) {
  const uint64_t room = room_in(name, directory);
  if (size_bytes) {
    if (*size_bytes > room) no_room(name, directory, *size_bytes, room);
    return *size_bytes;
  }
  const uint64_t half = (room / 2) & ~uint64_t{0xFFFF};
  const uint64_t size = half < kDefaultZoneBytes ? half : kDefaultZoneBytes;
  if (size < kMinZoneBytes) no_room(name, directory, kMinZoneBytes * 2, room);
  return size;
}

OpenedZone open_zone(std::string_view name, std::optional<uint64_t> size_bytes,
                     const std::optional<std::string>& directory_given) {
  validate_zone_name(name);
  if (size_bytes && *size_bytes < kMinZoneBytes) {
    throw_zone_refusal(name, "too small: " + text_of(*size_bytes) + " bytes, at least " +
                               text_of(kMinZoneBytes));
  }
  if (size_bytes && *size_bytes > kMaxZoneBytes) {
    throw_zone_refusal(name, "too large: " + text_of(*size_bytes) + " bytes, at most " +
                               text_of(kMaxZoneBytes));
  }
  const std::string directory = zone_directory(directory_given);
  const std::string path = zone_path(directory, name);
  for (int attempt = 0; attempt < 4; ++attempt) {
    Descriptor fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0 && errno != ENOENT) {
      throw_zone_error(name, system_error("cannot open " + path, errno));
    }
    if (fd.get() >= 0) {
      const struct stat seen = own_file(name, path, fd.get());
      Attached attached = attach_file(name, path, fd, seen);
      if (attached.mapping) return OpenedZone{std::move(attached.mapping), {}};
      DirectoryLock lock(name, directory);
      struct stat now {};
      if (stat(path.c_str(), &now) != 0 || now.st_ino != seen.st_ino || now.st_dev != seen.st_dev) {
        continue;  // replaced or removed meanwhile: look again
      }
      make_zone_file(name, directory, path, size_for_new_zone(name, directory, size_bytes),
                     replacements_of(fd.get()) + 1, true);
      Descriptor fresh(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
      struct stat info {};
      if (fresh.get() < 0 || fstat(fresh.get(), &info) != 0) continue;
      Attached made = attach_file(name, path, fresh, info);
      if (made.mapping) return OpenedZone{std::move(made.mapping), std::move(attached.problem)};
      continue;
    }
    DirectoryLock lock(name, directory);
    if (access(path.c_str(), F_OK) == 0) continue;  // made meanwhile: attach it
    make_zone_file(name, directory, path, size_for_new_zone(name, directory, size_bytes), 0,
                   false);
  }
  throw_zone_error(name, "replaced or removed again each time while attaching");
}

bool remove_zone(std::string_view name, const std::optional<std::string>& directory) {
  validate_zone_name(name);
  const std::string path = zone_path(zone_directory(directory), name);
  if (unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  throw_zone_error(name, system_error("cannot remove " + path, errno));
}

ZoneStats stats_of(const ZoneMapping& mapping) {
  ZoneStats stats;
  const ZoneView& zone = mapping.view();
  const Geometry& geometry = zone.geometry();
  for (uint32_t shard = 0; shard < geometry.shard_count; ++shard) {
    auto& state = *reinterpret_cast<ShardState*>(zone.shard_base(shard) + kStateOffset);
    const auto read = [](auto& field) {
      return std::atomic_ref(field).load(std::memory_order_relaxed);
    };
    stats.keys += read(state.keys);
    stats.evictions += read(state.evictions);
    stats.reclaimed += read(state.reclaimed);
    stats.recoveries += read(state.recoveries);
    stats.repairs += read(state.repairs);
  }
  stats.replacements = std::atomic_ref(zone.header()->replacements).load(std::memory_order_relaxed);
  stats.capacity = geometry.slot_count();
  stats.size_bytes = zone.size_bytes();
  stats.configs = zone.config_count();
  stats.path = mapping.path();
  return stats;
}

std::shared_ptr<const ZoneMapping> map_existing_zone(std::string_view name,
                                                     const std::optional<std::string>& directory) {
  validate_zone_name(name);
  const std::string path = zone_path(zone_directory(directory), name);
  Descriptor fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) {
    if (errno == ENOENT) throw_zone_error(name, "does not exist");
    throw_zone_error(name, system_error("cannot open " + path, errno));
  }
  Attached attached = attach_file(name, path, fd, own_file(name, path, fd.get()));
  if (!attached.mapping) throw_zone_error(name, attached.problem);
  return attached.mapping;
}

ZoneStats zone_stats(std::string_view name, const std::optional<std::string>& directory) {
  return stats_of(*map_existing_zone(name, directory));
}

}  // namespace vorn::zone
