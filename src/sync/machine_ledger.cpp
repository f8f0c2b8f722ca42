#include "sync/machine_ledger.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "zone/task_identity.h"
#include "zone/zone_error.h"
#include "zone/zone_mapping.h"

namespace vorn {
namespace {

constexpr uint64_t kMagic = 0x5244474c4e524f56ULL;  // "VORNLGDR" in memory order
constexpr uint32_t kVersion = 1;
constexpr uint64_t kHeaderBytes = 4096;
// An election not renewed for this many intervals is taken over.
constexpr uint64_t kElectionIntervals = 3;

struct alignas(64) LedgerHeader {
  uint64_t magic;
  uint32_t version;
  uint32_t shard_count;
  uint64_t total_bytes;
  uint64_t record_bytes;
  uint32_t sets_per_shard;
  uint32_t ways;
  uint64_t scope;
  uint64_t hash_keys[4];
  // Written by atomic stores only, read by atomic loads.
  alignas(64) uint64_t elected;  // pid << 32 | start stamp; 0 for none
  uint64_t renewed_ms;
  uint64_t instances;
  uint64_t degraded;
  uint64_t last_sync_ms;
};
static_assert(sizeof(LedgerHeader) <= kHeaderBytes);

constexpr size_t kElected = offsetof(LedgerHeader, elected);
constexpr size_t kRenewed = offsetof(LedgerHeader, renewed_ms);
constexpr size_t kInstances = offsetof(LedgerHeader, instances);
constexpr size_t kDegraded = offsetof(LedgerHeader, degraded);
constexpr size_t kLastSync = offsetof(LedgerHeader, last_sync_ms);

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  int release() {
    const int out = fd;
    fd = -1;
    return out;
  }
};

std::string problem(std::string_view what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

uint64_t scope_digest(std::string_view scope) {
  return siphash13_text(SipKey{0x766f726e6c656467ULL, 0x73636f7065ULL}, scope);
}

// The file made whole (sized, laid out) before it has its name, so that no
// process ever attaches half of one.
void make_file(std::string_view zone, const std::string& directory, const std::string& path,
               uint64_t scope, uint64_t shard_count, uint64_t sets_per_shard,
               uint64_t record_bytes, uint64_t total_bytes) {
  Descriptor fd{open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)};
  std::string temporary;
  if (fd.fd < 0) {
    uint64_t nonce[4] = {};
    zone::random_keys(nonce);
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%d.%016llx.tmp", static_cast<int>(getpid()),
                  static_cast<unsigned long long>(nonce[0]));
    temporary = path + suffix;
    fd.fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd.fd < 0) throw_zone_error(zone, problem("cannot create in " + directory, errno));
  }
  struct Unlinker {
    const std::string& path;
    ~Unlinker() {
      if (!path.empty()) unlink(path.c_str());
    }
  } unlinker{temporary};
  if (fchmod(fd.fd, 0600) != 0) throw_zone_error(zone, problem("cannot set mode", errno));
  const int reserved = posix_fallocate(fd.fd, 0, static_cast<off_t>(total_bytes));
  if (reserved != 0 && ftruncate(fd.fd, static_cast<off_t>(total_bytes)) != 0) {
    throw_zone_error(zone, problem("cannot size " + path, reserved));
  }
  void* base = mmap(nullptr, total_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd.fd, 0);
  if (base == MAP_FAILED) throw_zone_error(zone, problem("cannot map", errno));
  LedgerHeader header{};
  header.version = kVersion;
  header.shard_count = static_cast<uint32_t>(shard_count);
  header.total_bytes = total_bytes;
  header.record_bytes = record_bytes;
  header.sets_per_shard = static_cast<uint32_t>(sets_per_shard);
  header.ways = MachineLedger::kWays;
  header.scope = scope;
  header.instances = 1;
  zone::random_keys(header.hash_keys);
  std::memcpy(base, &header, sizeof header);
  // The magic last: a file without it is never taken for a ledger.
  std::atomic_ref<uint64_t>(static_cast<LedgerHeader*>(base)->magic)
      .store(kMagic, std::memory_order_release);
  munmap(base, total_bytes);
  int linked = -1;
  if (temporary.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd.fd);
    linked = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno == ENOENT) linked = linkat(fd.fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH);
  } else {
    linked = link(temporary.c_str(), path.c_str());
  }
  if (linked != 0 && errno != EEXIST) throw_zone_error(zone, problem("cannot name " + path, errno));
}

}  // namespace

MachineLedger::Geometry MachineLedger::geometry_for(size_t state_bytes, uint64_t records) {
  Geometry geometry;
  geometry.shard_count = kShards;
  const uint64_t per_set = uint64_t{kShards} * kWays;
  geometry.sets_per_shard = static_cast<uint32_t>(std::max<uint64_t>(1, (records + per_set - 1) / per_set));
  geometry.record_bytes = 8 + 2 * ledger_record::copy_bytes(state_bytes);
  // The lock's line, a line of way tags per set, then the records.
  geometry.shard_bytes = (64 + uint64_t{geometry.sets_per_shard} * 64 +
                          uint64_t{geometry.sets_per_shard} * kWays * geometry.record_bytes + 63) &
                         ~uint64_t{63};
  geometry.total_bytes = kHeaderBytes + geometry.shard_count * geometry.shard_bytes;
  return geometry;
}

uint64_t MachineLedger::records_for(uint64_t bytes, size_t state_bytes) {
  if (bytes < kMinBytes || bytes > kMaxBytes) {
    throw zone::ZoneRefusal("a sync ledger's size must be from " + std::to_string(kMinBytes) +
                            " to " + std::to_string(kMaxBytes) + " bytes, not " +
                            std::to_string(bytes));
  }
  const Geometry one_set = geometry_for(state_bytes, 1);
  const uint64_t per_set_bytes = one_set.shard_bytes * kShards - 64 * kShards;
  const uint64_t sets = std::max<uint64_t>(1, (bytes - kHeaderBytes) / per_set_bytes);
  return sets * kShards * kWays;
}

std::unique_ptr<MachineLedger> MachineLedger::open(const ZonePlacement& zone,
                                                   std::string_view scope, size_t state_bytes,
                                                   uint64_t records) {
  zone::validate_zone_name(zone.name);
  const std::string directory = zone::zone_directory(zone.directory);
  const uint64_t digest = scope_digest(scope);
  char name[96];
  std::snprintf(name, sizeof name, "/vorn.%s.sync-%016llx-v%u", zone.name.c_str(),
                static_cast<unsigned long long>(digest), kVersion);
  const std::string path = directory + name;
  const Geometry wanted = geometry_for(state_bytes, records);
  std::string last_problem = "it keeps changing";
  for (int attempt = 0; attempt < 4; ++attempt) {
    Descriptor fd{::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW)};
    if (fd.fd < 0) {
      if (errno != ENOENT) throw_zone_error(zone.name, problem("cannot open " + path, errno));
      make_file(zone.name, directory, path, digest, wanted.shard_count, wanted.sets_per_shard,
                wanted.record_bytes, wanted.total_bytes);
      continue;
    }
    struct stat info {};
    if (fstat(fd.fd, &info) != 0) throw_zone_error(zone.name, problem("cannot inspect " + path, errno));
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
      throw_zone_error(zone.name, path + " is not a file of this user");
    }
    const auto size = static_cast<uint64_t>(info.st_size);
    LedgerHeader header{};
    bool valid = size >= kHeaderBytes && size <= kMaxBytes &&
                 pread(fd.fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
    Geometry found;
    if (valid) {
      valid = header.magic == kMagic && header.version == kVersion && header.scope == digest &&
              header.ways == kWays && header.shard_count == kShards &&
              header.record_bytes == wanted.record_bytes && header.sets_per_shard >= 1 &&
              header.sets_per_shard <= (1u << 20);
    }
    if (valid) {
      found = geometry_for(state_bytes, uint64_t{header.sets_per_shard} * kShards * kWays);
      valid = found.sets_per_shard == header.sets_per_shard && found.total_bytes == size &&
              header.total_bytes == size;
    }
    if (!valid) {
      // Garbage, a foreign file or one cut short: its state is soft, make it afresh.
      last_problem = path + " is not a ledger of this limit";
      unlink(path.c_str());
      continue;
    }
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.fd, 0);
    if (base == MAP_FAILED) throw_zone_error(zone.name, problem("cannot map " + path, errno));
    return std::unique_ptr<MachineLedger>(new MachineLedger(
        path, base, found, SipKey{header.hash_keys[0], header.hash_keys[1]},
        SipKey{header.hash_keys[2], header.hash_keys[3]}, fd.release()));
  }
  throw_zone_error(zone.name, "cannot attach its sync ledger: " + last_problem);
}

MachineLedger::MachineLedger(std::string path, void* base, Geometry geometry, SipKey first,
                             SipKey second, int fd)
    : path_(std::move(path)),
      base_(static_cast<unsigned char*>(base)),
      geometry_(geometry),
      first_key_(first),
      second_key_(second),
      fd_(fd),
      guard_(std::make_unique<zone::FaultGuard>(base, geometry.total_bytes, fd)),
      stuck_(std::make_unique<std::atomic<uint64_t>[]>(geometry.shard_count)) {
  // The file may have been cut between its check and the mapping.
  struct stat info {};
  if (fstat(fd_, &info) != 0 || static_cast<uint64_t>(info.st_size) < geometry_.total_bytes) {
    guard_->stop();
    munmap(base_, geometry_.total_bytes);
    close(fd_);
    throw_zone_error(path_, "its sync ledger was cut short");
  }
}

MachineLedger::~MachineLedger() {
  guard_->stop();
  munmap(base_, geometry_.total_bytes);
  close(fd_);
}

LedgerRecordId MachineLedger::id_of(std::string_view key) const {
  return {siphash13_text(first_key_, key), secondary_digest(second_key_, key)};
}

unsigned char* MachineLedger::shard(uint32_t index) const {
  return base_ + kHeaderBytes + uint64_t{index} * geometry_.shard_bytes;
}

unsigned char* MachineLedger::record(uint32_t shard_index, uint64_t way) const {
  return shard(shard_index) + 64 + uint64_t{geometry_.sets_per_shard} * 64 +
         way * geometry_.record_bytes;
}

uint32_t* MachineLedger::tags(uint32_t shard_index, uint64_t set_in_shard) const {
  return reinterpret_cast<uint32_t*>(shard(shard_index) + 64 + set_in_shard * 64);
}

uint64_t* MachineLedger::header_word(size_t offset) const {
  return reinterpret_cast<uint64_t*>(base_ + offset);
}

void MachineLedger::check_intact() const {
  if (broken()) throw_zone_error(path_, "its sync ledger was cut short under this process");
}

zone::SharedLockGuard MachineLedger::lock_shard(uint32_t shard_index) const {
  auto* lock = reinterpret_cast<zone::SharedLock*>(shard(shard_index));
  const uint64_t stuck = stuck_[shard_index].load(std::memory_order_relaxed);
  if (stuck != 0) {
    if (zone::holder_of(*lock) == stuck) {
      throw zone::ShardStuck("a process keeps a shard of " + path_ + " locked");
    }
    stuck_[shard_index].store(0, std::memory_order_relaxed);
  }
  try {
    return zone::SharedLockGuard(lock, path_, "a shard's lock");
  } catch (const zone::LockHeldTooLong& error) {
    stuck_[shard_index].store(error.holder(), std::memory_order_relaxed);
    throw;
  }
}

uint64_t MachineLedger::self() const {
  const zone::TaskIdentity me = zone::current_process();
  return (uint64_t{me.id} << 32) | me.stamp;
}

bool MachineLedger::elect(uint64_t now_ms, uint64_t interval_ms, bool& took_over) const {
  took_over = false;
  check_intact();
  std::atomic_ref<uint64_t> elected(*header_word(kElected));
  std::atomic_ref<uint64_t> renewed(*header_word(kRenewed));
  const uint64_t me = self();
  uint64_t seen = elected.load(std::memory_order_acquire);
  if (seen == me) {
    renewed.store(now_ms, std::memory_order_release);
    return true;
  }
  if (seen != 0) {
    const zone::TaskIdentity holder{static_cast<uint32_t>(seen >> 32), static_cast<uint32_t>(seen)};
    const uint64_t last = renewed.load(std::memory_order_acquire);
    // A renewal from the future (a clock stepped back, or garbage) counts as now.
    const bool recent = last >= now_ms || now_ms - last < kElectionIntervals * interval_ms;
    if (recent && zone::is_alive(holder)) return false;
  }
  if (!elected.compare_exchange_strong(seen, me, std::memory_order_acq_rel)) return false;
  renewed.store(now_ms, std::memory_order_release);
  took_over = true;
  return true;
}

void MachineLedger::resign() const {
  if (broken()) return;
  uint64_t me = self();
  std::atomic_ref<uint64_t>(*header_word(kElected))
      .compare_exchange_strong(me, 0, std::memory_order_acq_rel);
}

void MachineLedger::publish(uint64_t instances, bool degraded, uint64_t sync_ms) const {
  if (broken()) return;
  std::atomic_ref<uint64_t>(*header_word(kInstances)).store(instances, std::memory_order_relaxed);
  std::atomic_ref<uint64_t>(*header_word(kDegraded)).store(degraded ? 1 : 0, std::memory_order_relaxed);
  std::atomic_ref<uint64_t>(*header_word(kLastSync)).store(sync_ms, std::memory_order_relaxed);
}

uint64_t MachineLedger::instances() const {
  const uint64_t value = std::atomic_ref<uint64_t>(*header_word(kInstances)).load(std::memory_order_relaxed);
  return value == 0 ? 1 : value;
}

bool MachineLedger::degraded() const {
  return std::atomic_ref<uint64_t>(*header_word(kDegraded)).load(std::memory_order_relaxed) != 0;
}

uint64_t MachineLedger::last_sync_ms() const {
  return std::atomic_ref<uint64_t>(*header_word(kLastSync)).load(std::memory_order_relaxed);
}

uint64_t MachineLedger::records_in_use() const {
  using namespace ledger_record;
  const uint64_t ways = uint64_t{geometry_.sets_per_shard} * kWays;
  const size_t state_bytes = (geometry_.record_bytes - 8) / 2 - kCopyHead;
  uint64_t total = 0;
  for (uint32_t s = 0; s < geometry_.shard_count && !broken(); ++s) {
    for (uint64_t way = 0; way < ways; ++way) {
      if (std::atomic_ref<uint32_t>(tags(s, way / kWays)[way % kWays]).load(std::memory_order_relaxed) == 0) {
        continue;
      }
      unsigned char* at = record(s, way);
      if (head_of(copy(at, state_bytes, commit(at).load(std::memory_order_acquire))).in_use == 1) {
        ++total;
      }
    }
  }
  return total;
}

}  // namespace vorn
