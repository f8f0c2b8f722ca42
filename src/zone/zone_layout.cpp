#include "zone/zone_layout.h"

#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <memory>

#include "zone/shared_lock.h"
#include "zone/task_identity.h"
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
bool config_intact(const ZoneConfig& config) {
  return config.kind <= 3 && config.place <= kMaxZoneRates;
}

bool same_config(const ZoneConfig& a, const ZoneConfig& b) {
  if (a.kind != b.kind || a.place != b.place || a.limit != b.limit) return false;
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
  uint64_t per_shard = (body / shards) & ~(kUnitBytes - 1);
  // An odd number of lines per shard spreads the shards' lock, state and
  // journal lines over every cache set; a stride of a multiple of 512 bytes
  // would put them all in a few sets, where they evict each other.
  if ((per_shard / kUnitBytes) % 2 == 0) per_shard -= kUnitBytes;
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
  // A log of n requests holds at most n runs, which span at most
  // ceil(n / 7) + 1 blocks, and one more is taken before a consumed one is
  // handed back.
  return max_requests / kBlockRuns + 3;
}

void mark_rates(ZoneConfig* configs, size_t count) {
  if (count < 2) return;
  // FNV-1a over what each rate means (its kind and parameters, in order): the
  // same limit marks alike in every process and build, and different limits
  // differ but once in 2^64.
  uint64_t digest = 0xCBF29CE484222325ULL;
  const auto mix = [&digest](uint64_t word) {
    for (int byte = 0; byte < 8; ++byte, word >>= 8) {
      digest = (digest ^ (word & 0xFF)) * 0x100000001B3ULL;
    }
  };
  mix(count);
  for (size_t i = 0; i < count; ++i) {
    const ZoneConfig& config = configs[i];
    mix(config.kind);
    mix(std::bit_cast<uint64_t>(config.capacity));
    mix(std::bit_cast<uint64_t>(config.rate));
    mix(config.window_ms);
    mix(config.max_requests);
  }
  if (digest == 0) digest = 1;  // 0 is a limit of one rate
  for (size_t i = 0; i < count; ++i) {
    configs[i].place = static_cast<uint32_t>(i + 1);
    configs[i].limit = digest;
  }
}

void initialise_region(void* base, uint64_t size, const Geometry& geometry,
                       const uint64_t (&hash_keys)[4], uint64_t replacements) {
  auto* bytes = static_cast<unsigned char*>(base);
  auto* header = reinterpret_cast<ZoneHeader*>(bytes);
  header->magic = kMagic;
  header->layout_version = kLayoutVersion;
  header->header_bytes = kHeaderBytes;
  header->total_bytes = size;
  header->shard_count = geometry.shard_count;
  header->sets_per_shard = geometry.sets_per_shard;
  header->blocks_per_shard = geometry.blocks_per_shard;
  header->replacements = replacements;
  std::memcpy(header->hash_keys, hash_keys, sizeof header->hash_keys);
  const uint64_t shard_bytes = geometry.shard_bytes();
  for (uint32_t shard = 0; shard < geometry.shard_count; ++shard) {
    auto* state =
        reinterpret_cast<ShardState*>(bytes + kHeaderBytes + shard * shard_bytes + kStateOffset);
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
  if (load_shared(header->ready) != 1) throw_zone_error(zone, "never finished initialising");
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
  return ZoneView(std::make_shared<const std::string>(zone), static_cast<unsigned char*>(base),
                  size, geometry, keys);
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
  uint32_t count = 0;
  for (const ConfigEntry& entry : header()->configs) count += load_shared(entry.in_use) == 1;
  return count;
}

std::optional<ZoneConfig> ZoneView::config(uint32_t id, uint32_t tag) const {
  if (id == 0 || id > kMaxConfigs) return std::nullopt;
  const ConfigEntry& entry = header()->configs[id - 1];
  const uint32_t generation = load_shared(entry.generation);
  if (load_shared(entry.in_use) != 1 || (generation << 2) != (tag & ~3u)) return std::nullopt;
  ZoneConfig config;
  std::memcpy(&config, &entry.config, sizeof config);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (load_shared(entry.generation) != generation) return std::nullopt;  // freed meanwhile
  if (!config_intact(config) || config.kind != (tag & 3u)) return std::nullopt;
  return config;
}

namespace {

bool attached_to(const Attachment& record, uint32_t id, uint32_t generation) {
  return record.pid != 0 && record.config == id && record.generation == generation;
}

// Clears the attachments of processes that are gone, then frees the entries
// no live process is attached to. Requires the table's lock.
void free_unattached(ZoneHeader& header) {
  bool held[kMaxConfigs] = {};
  for (Attachment& record : header.attachments) {
    if (load_shared(record.pid) == 0) continue;
    if (!is_alive(TaskIdentity{record.pid, record.started})) {
      std::atomic_ref<uint32_t>(record.pid).store(0, std::memory_order_release);
      continue;
    }
    const uint32_t id = record.config;
    if (id >= 1 && id <= kMaxConfigs &&
        record.generation == load_shared(header.configs[id - 1].generation)) {
      held[id - 1] = true;
    }
  }
  for (uint32_t i = 0; i < kMaxConfigs; ++i) {
    ConfigEntry& entry = header.configs[i];
    if (held[i] || load_shared(entry.in_use) == 0) continue;
    std::atomic_ref<uint32_t>(entry.generation)
        .store(load_shared(entry.generation) + 1, std::memory_order_release);
    std::atomic_ref<uint32_t>(entry.in_use).store(0, std::memory_order_release);
  }
}

// A free attachment record, sweeping those of gone processes when none is.
Attachment* free_attachment(ZoneHeader& header) {
  for (int pass = 0; pass < 2; ++pass) {
    for (Attachment& record : header.attachments) {
      if (load_shared(record.pid) == 0) return &record;
    }
    if (pass == 0) free_unattached(header);
  }
  return nullptr;
}

}  // namespace

ConfigRef ZoneView::register_config(const ZoneConfig& config) const {
  SharedLockGuard guard(&header()->config_lock, name(), "the configuration table's lock");
  // A dead holder can have left at most a record or an entry not yet
  // published, or an entry freed but not cleared: each is harmless.
  ZoneHeader& table = *header();
  int64_t found = -1;
  for (uint32_t i = 0; i < kMaxConfigs && found < 0; ++i) {
    const ConfigEntry& entry = table.configs[i];
    if (load_shared(entry.in_use) == 1 && same_config(entry.config, config)) found = i;
  }
  for (int pass = 0; found < 0 && pass < 2; ++pass) {
    for (uint32_t i = 0; i < kMaxConfigs && found < 0; ++i) {
      if (load_shared(table.configs[i].in_use) == 0) found = i;
    }
    if (found < 0 && pass == 0) free_unattached(table);
    if (found >= 0) {
      ConfigEntry& entry = table.configs[found];
      // A lock-free reader (ZoneView::config) that copies any of the new
      // bytes must then see the generation that freeing the entry raised. The
      // release stores that freed it order only what came before them, so
      // without this fence arm64 may make the new bytes visible first.
      std::atomic_thread_fence(std::memory_order_release);
      std::memcpy(&entry.config, &config, sizeof config);
      std::atomic_ref<uint32_t>(entry.in_use).store(1, std::memory_order_release);
    }
  }
  if (found < 0) {
    throw_zone_refusal(name(), "more than " + text_of(kMaxConfigs) +
                                   " distinct configurations are in use at once by live processes");
  }
  const auto id = static_cast<uint32_t>(found + 1);
  const uint32_t generation = load_shared(table.configs[found].generation);
  Attachment* record = free_attachment(table);
  if (record == nullptr) {
    throw_zone_refusal(name(), "more than " + text_of(kMaxAttachments) +
                                   " engines of live processes are attached at once");
  }
  const TaskIdentity self = current_process();
  record->started = self.stamp;
  record->config = id;
  record->generation = generation;
  std::atomic_ref<uint32_t>(record->pid).store(self.id, std::memory_order_release);
  return ConfigRef{id, generation, static_cast<Kind>(config.kind)};
}

void ZoneView::release_config(const ConfigRef& ref) const noexcept {
  try {
    SharedLockGuard guard(&header()->config_lock, name(), "the configuration table's lock");
    const TaskIdentity self = current_process();
    for (Attachment& record : header()->attachments) {
      if (attached_to(record, ref.id, ref.generation) && record.pid == self.id &&
          record.started == self.stamp) {
        std::atomic_ref<uint32_t>(record.pid).store(0, std::memory_order_release);
        return;
      }
    }
  } catch (...) {
    // The record stays until the process is gone; nothing else depends on it.
  }
}

}  // namespace vorn::zone
