#include "zone/zone_layout.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <memory>

#include "zone/robust_lock.h"
#include "zone/zone_error.h"

namespace vorn::zone {
namespace {

constexpr uint64_t kMinShardBytes = 256 * 1024;

template <typename T>
T load_shared(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}

std::string text_of(uint64_t value) { return std::to_string(value); }

// Whether a configuration entry, as read back, is one this library can run.
bool config_intact(const ZoneConfig& config) { return config.kind <= 3; }

bool same_config(const ZoneConfig& a, const ZoneConfig& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == static_cast<uint32_t>(Kind::SlidingWindow) ||
      a.kind == static_cast<uint32_t>(Kind::FixedWindow)) {
    return a.window_ms == b.window_ms && a.max_requests == b.max_requests;
  }
  // Bit for bit, so that two NaN capacities are one configuration.
  return std::memcmp(&a.capacity, &b.capacity, sizeof a.capacity) == 0 &&
         std::memcmp(&a.rate, &b.rate, sizeof a.rate) == 0;
}

}  // namespace

Geometry geometry_for(uint64_t zone_bytes) {
  const uint64_t body = zone_bytes - kHeaderBytes;
  uint32_t shards = kMaxShards;
  while (shards > 1 && body / shards < kMinShardBytes) shards /= 2;
  const uint64_t per_shard = (body / shards) & ~(kUnitBytes - 1);
  const uint64_t rest = per_shard - kSetsOffset;
  const uint64_t log_bytes = (rest / 4) & ~(kUnitBytes - 1);
  Geometry geometry;
  geometry.shard_count = shards;
  geometry.sets_per_shard = static_cast<uint32_t>((rest - log_bytes) / kSetBytes);
  geometry.blocks_per_shard =
      static_cast<uint32_t>((rest - uint64_t{geometry.sets_per_shard} * kSetBytes) / kUnitBytes);
  return geometry;
}

uint64_t blocks_needed(uint64_t max_requests) {
  // A log of n times spans at most ceil(n / 7) + 1 blocks, and one more is
  // taken before a consumed one is handed back.
  return max_requests / kBlockTimes + 3;
}

void initialise_region(std::string_view zone, void* base, uint64_t size, const Geometry& geometry,
                       const uint64_t (&hash_keys)[4]) {
  auto* bytes = static_cast<unsigned char*>(base);
  auto* header = reinterpret_cast<ZoneHeader*>(bytes);
  header->magic = kMagic;
  header->layout_version = kLayoutVersion;
  header->header_bytes = kHeaderBytes;
  header->total_bytes = size;
  header->shard_count = geometry.shard_count;
  header->sets_per_shard = geometry.sets_per_shard;
  header->blocks_per_shard = geometry.blocks_per_shard;
  std::memcpy(header->hash_keys, hash_keys, sizeof header->hash_keys);
  header->config_count = 0;
  if (!initialise_robust_lock(&header->config_lock)) {
    throw_zone_error(zone, "cannot initialise a process-shared lock");
  }
  const uint64_t shard_bytes = geometry.shard_bytes();
  for (uint32_t shard = 0; shard < geometry.shard_count; ++shard) {
    unsigned char* at = bytes + kHeaderBytes + shard * shard_bytes;
    if (!initialise_robust_lock(reinterpret_cast<pthread_mutex_t*>(at + kLockOffset))) {
      throw_zone_error(zone, "cannot initialise a process-shared lock");
    }
    auto* state = reinterpret_cast<ShardState*>(at + kStateOffset);
    state->free_head = kNoBlock;
  }
}

void publish_ready(void* base) {
  auto* header = static_cast<ZoneHeader*>(base);
  std::atomic_ref<uint32_t>(header->ready).store(1, std::memory_order_release);
}

bool is_ready(const void* base) {
  return load_shared(static_cast<const ZoneHeader*>(base)->ready) == 1;
}

ZoneView ZoneView::attach(std::string_view zone, void* base, uint64_t size) {
  if (size < kHeaderBytes) {
    throw_zone_error(zone,
                     "too small: " + text_of(size) + " bytes, at least " + text_of(kMinZoneBytes));
  }
  auto* header = static_cast<ZoneHeader*>(base);
  if (load_shared(header->magic) != kMagic) throw_zone_error(zone, "not a vorn zone (bad magic)");
  const uint32_t version = load_shared(header->layout_version);
  if (version != kLayoutVersion) {
    throw_zone_error(zone, "layout version " + text_of(version) + ", this library reads " +
                               text_of(kLayoutVersion));
  }
  if (load_shared(header->ready) != 1) {
    throw_zone_error(zone, "never finished initialising (its creator died?); remove it");
  }
  Geometry geometry;
  geometry.shard_count = load_shared(header->shard_count);
  geometry.sets_per_shard = load_shared(header->sets_per_shard);
  geometry.blocks_per_shard = load_shared(header->blocks_per_shard);
  const uint64_t claimed = load_shared(header->total_bytes);
  if (load_shared(header->header_bytes) != kHeaderBytes || geometry.shard_count == 0 ||
      geometry.shard_count > kMaxShards || !std::has_single_bit(geometry.shard_count) ||
      geometry.sets_per_shard == 0 || geometry.blocks_per_shard == kNoBlock ||
      claimed > kMaxZoneBytes || uint64_t{geometry.sets_per_shard} * kSetBytes > kMaxZoneBytes ||
      uint64_t{geometry.blocks_per_shard} * kUnitBytes > kMaxZoneBytes) {
    throw_zone_error(zone, "damaged header (impossible geometry)");
  }
  const uint64_t needed = geometry.needed_bytes();
  if (needed > claimed) throw_zone_error(zone, "damaged header (sizes disagree)");
  if (claimed > size) {
    throw_zone_error(zone, "truncated: the header claims " + text_of(claimed) +
                               " bytes, the region has " + text_of(size));
  }
  uint64_t keys[4];
  for (int i = 0; i < 4; ++i) keys[i] = load_shared(header->hash_keys[i]);
  ZoneView view(std::make_shared<const std::string>(zone), static_cast<unsigned char*>(base), size,
                geometry, keys);
  if (!lock_kind_intact(&header->config_lock)) throw_zone_error(zone, "damaged header lock");
  for (uint32_t shard = 0; shard < geometry.shard_count; ++shard) {
    if (!lock_kind_intact(reinterpret_cast<pthread_mutex_t*>(view.shard_base(shard)))) {
      throw_zone_error(zone, "damaged lock in shard " + text_of(shard));
    }
  }
  return view;
}

ZoneView::ZoneView(std::shared_ptr<const std::string> name, unsigned char* base, uint64_t size,
                   const Geometry& geometry, const uint64_t (&keys)[4])
    : name_(std::move(name)),
      base_(base),
      size_(size),
      geometry_(geometry),
      shard_bytes_(geometry.shard_bytes()) {
  std::memcpy(hash_keys_, keys, sizeof hash_keys_);
}

uint32_t ZoneView::config_count() const {
  const uint32_t count = load_shared(header()->config_count);
  return count > kMaxConfigs ? kMaxConfigs : count;
}

ZoneConfig ZoneView::config(uint32_t id) const {
  if (id == 0 || id > config_count()) {
    throw_zone_error(name(), "damaged: a state names configuration " + text_of(id) + " of " +
                                 text_of(config_count()));
  }
  ZoneConfig config;
  std::memcpy(&config, &header()->configs[id - 1], sizeof config);
  if (!config_intact(config)) throw_zone_error(name(), "damaged configuration table");
  return config;
}

uint32_t ZoneView::register_config(const ZoneConfig& config) const {
  RobustLockGuard guard(&header()->config_lock, name(), "the configuration table's lock");
  // A dead holder can have left at most an entry beyond the count: harmless.
  guard.mark_consistent();
  const uint32_t count = config_count();
  for (uint32_t i = 0; i < count; ++i) {
    ZoneConfig stored;
    std::memcpy(&stored, &header()->configs[i], sizeof stored);
    if (same_config(stored, config)) return i + 1;
  }
  if (count == kMaxConfigs) {
    throw_zone_error(name(), "configuration table full (" + text_of(kMaxConfigs) +
                                 " configurations); remove the zone to start afresh");
  }
  std::memcpy(&header()->configs[count], &config, sizeof config);
  std::atomic_ref<uint32_t>(header()->config_count).store(count + 1, std::memory_order_release);
  return count + 1;
}

}  // namespace vorn::zone
