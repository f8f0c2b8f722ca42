// The bytes of a shared-memory zone, and a ZoneView that reads them. A zone is a
// header followed by a power-of-two number of shards:
//
//   header (4 KiB): magic, layout version, geometry, hash keys, ready word,
//                   the configuration table and the lock that guards it
//   shard i:        lock line | state line | journal index | 15 journal units |
//                   sets (16 ways of one 64-byte slot each) | log blocks
//
// Every piece a writer changes is a 64-byte unit (a slot, a log block, a shard's
// state line), so a shard's undo journal can save and restore it whole.
//
// A ZoneView is built over (pointer, size) only after validation; it copies the
// geometry and hash keys out of the header, so nothing that another process
// writes later can move a bound. Every index read from the region afterwards is
// checked before use. A ZoneView is a plain value and is thread-safe to read;
// the units it points to are guarded by their shard's lock.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::zone {

inline constexpr uint64_t kMagic = 0x454e4f5a4e524f56ULL;  // "VORNZONE" in memory order
inline constexpr uint32_t kLayoutVersion = 1;
inline constexpr uint64_t kHeaderBytes = 4096;
inline constexpr uint64_t kUnitBytes = 64;
inline constexpr uint32_t kWays = 16;
inline constexpr uint32_t kJournalUnits = 15;
inline constexpr uint32_t kMaxConfigs = 64;
inline constexpr uint32_t kMaxShards = 64;
inline constexpr uint32_t kBlockTimes = 7;
inline constexpr uint32_t kNoBlock = 0xFFFFFFFFu;

inline constexpr uint64_t kMinZoneBytes = 64 * 1024;
inline constexpr uint64_t kMaxZoneBytes = uint64_t{1} << 40;
// Holds a million IPv4 token-bucket clients with room to spare: 2.36 million
// slots, so a set of 16 ways overflows for fewer than one key in a thousand.
inline constexpr uint64_t kDefaultZoneBytes = uint64_t{192} << 20;

// The limiter a configuration runs, as stored in the table.
enum class Kind : uint32_t { TokenBucket = 0, SlidingWindow = 1, FixedWindow = 2, LeakyBucket = 3 };

// One configuration: written once, before config_count covers it; never changed.
struct ZoneConfig {
  uint32_t kind;
  uint32_t reserved;
  double capacity;     // token and leaky bucket
  double rate;         // token bucket refill, leaky bucket leak
  uint64_t window_ms;  // window limiters
  uint64_t max_requests;
};

struct alignas(64) ZoneHeader {
  uint64_t magic;
  uint32_t layout_version;
  uint32_t header_bytes;
  uint64_t total_bytes;
  uint32_t shard_count;
  uint32_t sets_per_shard;
  uint32_t blocks_per_shard;
  uint32_t ready;  // 0 until the creator has initialised everything, then 1
  uint64_t hash_keys[4];
  uint32_t config_count;  // entries of `configs` in use; grows under config_lock
  uint32_t reserved;
  alignas(64) pthread_mutex_t config_lock;
  alignas(64) ZoneConfig configs[kMaxConfigs];
};
static_assert(sizeof(ZoneHeader) <= kHeaderBytes);

struct alignas(64) Slot {
  uint64_t digest;  // the key's digest under its configuration
  uint64_t check;   // a second, independent digest of the same
  uint32_t config;  // 1 + index into the configuration table; 0 marks an empty way
  uint32_t reserved;
  uint64_t last_used;  // when last checked (ms, then order); the least recent goes first
  unsigned char state[32];
};
static_assert(sizeof(Slot) == kUnitBytes);

// A sliding window's log in a slot: `size` times in a chain of blocks, the
// oldest at position head_pos of block head. Empty logs hold no block.
struct LogState {
  uint64_t size;
  uint32_t head;
  uint32_t head_pos;
  uint32_t tail;
  uint32_t reserved;
};
static_assert(sizeof(LogState) <= sizeof(Slot::state));

struct alignas(64) Block {
  uint32_t next;
  uint32_t reserved;
  uint64_t times[kBlockTimes];
};
static_assert(sizeof(Block) == kUnitBytes);

struct alignas(64) ShardState {
  uint64_t keys;
  uint64_t evictions;
  uint64_t reclaimed;
  uint64_t recoveries;          // dead lock holders whose writes were rolled back
  uint32_t free_head;           // first free block, or kNoBlock
  uint32_t unused_blocks_from;  // blocks from here on were never handed out
  uint32_t cursor;              // where the search for a log to evict resumes
  uint32_t reserved;
};
static_assert(sizeof(ShardState) == kUnitBytes);

struct alignas(64) JournalIndex {
  uint32_t count;                   // saved units that a dead writer's successor must restore
  uint32_t offsets[kJournalUnits];  // each unit's offset from the shard's start
};
static_assert(sizeof(JournalIndex) == kUnitBytes);

struct alignas(64) Unit {
  unsigned char bytes[kUnitBytes];
};

// Offsets inside a shard.
inline constexpr uint64_t kLockOffset = 0;
inline constexpr uint64_t kStateOffset = kUnitBytes;
inline constexpr uint64_t kJournalIndexOffset = 2 * kUnitBytes;
inline constexpr uint64_t kJournalDataOffset = 3 * kUnitBytes;
inline constexpr uint64_t kSetsOffset = kJournalDataOffset + kJournalUnits * kUnitBytes;
inline constexpr uint64_t kSetBytes = kWays * sizeof(Slot);
static_assert(sizeof(pthread_mutex_t) <= kUnitBytes);

struct Geometry {
  uint32_t shard_count = 0;
  uint32_t sets_per_shard = 0;
  uint32_t blocks_per_shard = 0;

  uint64_t shard_bytes() const {
    return kSetsOffset + uint64_t{sets_per_shard} * kSetBytes +
           uint64_t{blocks_per_shard} * kUnitBytes;
  }
  uint64_t blocks_offset() const { return kSetsOffset + uint64_t{sets_per_shard} * kSetBytes; }
  uint64_t needed_bytes() const { return kHeaderBytes + uint64_t{shard_count} * shard_bytes(); }
  uint64_t slot_count() const { return uint64_t{shard_count} * sets_per_shard * kWays; }
};

// The geometry a new zone of `zone_bytes` gets (between the minimum and the
// maximum size): up to 64 shards of at least 256 KiB, a quarter of each
// shard for log blocks and the rest for sets.
Geometry geometry_for(uint64_t zone_bytes);

// Log blocks a sliding window of `max_requests` may need in one shard.
uint64_t blocks_needed(uint64_t max_requests);

// Lays out a new zone in `base` (zeroed, `size` bytes, at least
// geometry.needed_bytes()): header, locks and hash keys; the ready word is left
// 0 for the caller to publish. Throws ZoneError naming `zone` when a lock
// cannot be initialised.
void initialise_region(std::string_view zone, void* base, uint64_t size, const Geometry& geometry,
                       const uint64_t (&hash_keys)[4]);

// Publishes a fully initialised region to attachers (a release store).
void publish_ready(void* base);

// Whether the creator has published the region (an acquire load); requires
// size >= kHeaderBytes.
bool is_ready(const void* base);

// Whether a process-shared lock in the region still has the kind this library
// gives its locks (a damaged word could make locking do something else).
bool lock_kind_intact(const pthread_mutex_t* lock);

class ZoneView {
 public:
  // Validates the region (magic, version, geometry against `size`, ready word,
  // lock kinds) and returns a view over it. Throws ZoneError naming `zone`.
  static ZoneView attach(std::string_view zone, void* base, uint64_t size);

  const std::string& name() const { return *name_; }
  const Geometry& geometry() const { return geometry_; }
  unsigned char* shard_base(uint32_t shard) const {
    return base_ + kHeaderBytes + uint64_t{shard} * shard_bytes_;
  }
  ZoneHeader* header() const { return reinterpret_cast<ZoneHeader*>(base_); }
  uint64_t shard_bytes() const { return shard_bytes_; }
  uint64_t size_bytes() const { return size_; }
  const uint64_t (&hash_keys() const)[4] { return hash_keys_; }

  // The configuration `id` (1-based) as stored now; throws ZoneError when `id`
  // is not in the table or the entry is damaged.
  ZoneConfig config(uint32_t id) const;
  uint32_t config_count() const;

  // Finds `config` in the table or adds it, under the header's lock; returns
  // its id. Throws ZoneError when the table is full or the lock fails.
  uint32_t register_config(const ZoneConfig& config) const;

 private:
  ZoneView(std::shared_ptr<const std::string> name, unsigned char* base, uint64_t size,
           const Geometry& geometry, const uint64_t (&keys)[4]);

  std::shared_ptr<const std::string> name_;
  unsigned char* base_;
  uint64_t size_;
  Geometry geometry_;
  uint64_t shard_bytes_;
  uint64_t hash_keys_[4];
};

}  // namespace vorn::zone
