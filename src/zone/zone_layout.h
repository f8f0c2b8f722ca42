// The bytes of a shared-memory zone, and a ZoneView that reads them. A zone is a
// header followed by a power-of-two number of shards:
//
//   header (32 KiB): magic, layout version, geometry, hash keys, ready word,
//                    the configuration table, the attachments that keep its
//                    entries alive, the engines' meters (see zone_meters.h),
//                    and the lock that guards all three
//   shard i:         lock line | state line | journal index (2 lines) |
//                    31 journal units | sets (16 ways of one 64-byte slot each) |
//                    log blocks
//
// Every piece a writer changes is a 64-byte unit (a slot, a log block, a shard's
// state line), so a shard's undo journal can save and restore it whole. A limit
// of several rates keeps one slot per rate, all in the shard its first rate's
// digest picks, so one lock covers the whole decision.
//
// A ZoneView is built over (pointer, size) only after validation; it copies the
// geometry and hash keys out of the header, so nothing that another process
// writes later can move a bound. Every index read from the region afterwards is
// checked before use, and no word of the region ever decides where a write goes
// outside it.
//
// A configuration entry lives while some live process has an attachment to it.
// Once none has, the entry may be freed and reused for another configuration;
// its generation then changes, so the states left under the old one (each slot
// records the configuration's index, generation and kind) are orphans: no
// lookup finds them, and any check that meets one may reclaim its way. A ZoneView is a plain value
// and is thread-safe to read; the units it points to are guarded by their shard's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "zone/shared_lock.h"

namespace vorn::zone {

inline constexpr uint64_t kMagic = 0x454e4f5a4e524f56ULL;  // "VORNZONE" in memory order
inline constexpr uint32_t kLayoutVersion = 3;
inline constexpr uint64_t kHeaderBytes = 32 * 1024;
inline constexpr uint64_t kUnitBytes = 64;
inline constexpr uint32_t kWays = 16;
// The most units one check writes: per rate its slot, the log block of the way
// it took from a full set, the last block its log's front gave back, its old
// and new tail block, and a log evicted from the pool for that new block (its
// tail block and its slot); then the shard's state line once: 7 * 4 + 1 = 29.
// A refund writes at most 4 per rate and a reset 2, each with the state line.
inline constexpr uint32_t kJournalUnits = 31;
inline constexpr uint32_t kMaxZoneRates = 4;
inline constexpr uint32_t kMaxConfigs = 64;
inline constexpr uint32_t kMaxAttachments = 1024;
inline constexpr uint32_t kMaxShards = 64;
inline constexpr uint32_t kBlockRuns = 7;
inline constexpr uint32_t kNoBlock = 0xFFFFFFFFu;

inline constexpr uint64_t kMinZoneBytes = 128 * 1024;
inline constexpr uint64_t kMaxZoneBytes = uint64_t{1} << 40;
// The whole zone is reserved when it is made, so the default must fit beside
// others in a container's 64 MiB /dev/shm: 390,000 slots, which hold 300,000
// token-bucket clients with a set of 16 ways overflowing for fewer than one key
// in a thousand. Where less room is free the default shrinks to half of it.
inline constexpr uint64_t kDefaultZoneBytes = uint64_t{32} << 20;

// The limiter a configuration runs, as stored in the table.
enum class Kind : uint32_t { TokenBucket = 0, SlidingWindow = 1, FixedWindow = 2, LeakyBucket = 3 };

// One configuration, as the table stores it. A rate of a limit of several
// rates is marked with its place in the limit and a digest of the whole limit
// (see mark_rates), so that it never shares states with a limit of one rate or
// with another limit, even where their parameters agree; 0 in both for a limit
// of one rate.
struct ZoneConfig {
  uint32_t kind;
  uint32_t place;      // 1 + the rate's index in its limit of several rates; 0 for one rate
  double capacity;     // token and leaky bucket
  double rate;         // token bucket refill, leaky bucket leak
  uint64_t window_ms;  // window limiters
  uint64_t max_requests;
  uint64_t limit;  // the digest of the whole limit of several rates; 0 for one rate
};

// One entry of the configuration table. `config` is written while the entry
// is free and published by the release store of in_use; freeing bumps the
// generation first, then clears in_use. Readers without the table's lock
// read the generation before and after copying the entry.
struct alignas(64) ConfigEntry {
  ZoneConfig config;
  uint32_t generation;
  uint32_t in_use;  // 1 while the entry holds a configuration
};
static_assert(sizeof(ConfigEntry) == 64);

// One process's hold on a configuration entry: written under the table's
// lock, `pid` last (0 marks a free record).
struct Attachment {
  uint32_t pid;
  uint32_t started;  // the process's start time (low bits), against pid reuse
  uint32_t config;   // 1-based entry index
  uint32_t generation;
};

// The identity of a slot's configuration, as a slot stores it.
struct ConfigRef {
  uint32_t id = 0;  // 1-based entry index; 0 for none
  uint32_t generation = 0;
  Kind kind = Kind::TokenBucket;

  uint32_t tag() const { return (generation << 2) | static_cast<uint32_t>(kind); }
};

// One engine's check counts, under the name its host gives its limit. Claimed
// under the table's lock: the name first, `name_length` then (a release
// store; 0 marks a record never named, and a name never changes once set),
// `owner` last. Only the owner's engine writes `counts`; a record whose
// owner is 0 or gone may be taken over by a new engine of the same name,
// whose counts go on from there. A zone made before meters existed has zeros
// here: no record.
// As many as the header has room for after the attachments.
inline constexpr uint32_t kMaxMeters = 94;
inline constexpr uint32_t kMaxMeterName = 48;
inline constexpr uint32_t kMeterCounts = 8;  // the outcomes of CheckOutcomeKind; the rest spare
struct alignas(64) MeterRecord {
  uint32_t owner;  // pid of the engine's process; 0 when none holds it
  uint32_t owner_stamp;
  uint32_t name_length;
  uint32_t reserved;
  char name[kMaxMeterName];
  uint64_t counts[kMeterCounts];
};
static_assert(sizeof(MeterRecord) == 128);

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
  uint64_t replacements;  // damaged zones this one replaced, counting theirs
  alignas(64) SharedLock config_lock;
  alignas(64) ConfigEntry configs[kMaxConfigs];
  Attachment attachments[kMaxAttachments];
  alignas(64) MeterRecord meters[kMaxMeters];
};
static_assert(sizeof(ZoneHeader) <= kHeaderBytes);
static_assert(kHeaderBytes - sizeof(ZoneHeader) < sizeof(MeterRecord), "room for more meters");

// A slot's last_used: the time of the check that last touched it (ms) above
// kRecencyOrderBits of order among that millisecond's checks.
inline constexpr unsigned kRecencyOrderBits = 20;
constexpr uint64_t recency_ms(uint64_t last_used) { return last_used >> kRecencyOrderBits; }

struct alignas(64) Slot {
  uint64_t digest;      // the key's digest under its configuration
  uint64_t check;       // a second, independent digest of the same
  uint32_t config;      // 1 + index into the configuration table; 0 marks an empty way
  uint32_t config_tag;  // the configuration's generation and kind (ConfigRef::tag)
  uint64_t last_used;   // when last checked (ms, then order); the least recent goes first
  unsigned char state[32];
};
static_assert(sizeof(Slot) == kUnitBytes);

// A sliding window's log in a slot: `size` requests in `runs` runs (a time and
// how many requests were logged at it, see run_word) in a chain of blocks, the
// oldest run at position head_pos of block head, of which `front_taken`
// requests have already left. Empty logs hold no block.
struct LogState {
  uint64_t size;
  uint32_t head;
  uint32_t head_pos;
  uint32_t tail;
  uint32_t runs;
  uint32_t front_taken;
  uint32_t reserved;
};
static_assert(sizeof(LogState) <= sizeof(Slot::state));

struct alignas(64) Block {
  uint32_t next;
  uint32_t reserved;
  uint64_t runs[kBlockRuns];  // each a run word (run_word)
};
static_assert(sizeof(Block) == kUnitBytes);

// A run in one word: its time in the low 44 bits (milliseconds since the
// epoch, which last until the year 2527; a later time is logged as the last
// that fits) and the requests it stands for, at least 1, in the 20 above.
inline constexpr unsigned kRunTimeBits = 44;
inline constexpr uint64_t kMaxRunTime = (uint64_t{1} << kRunTimeBits) - 1;
inline constexpr uint64_t kMaxRunWeight = (uint64_t{1} << (64 - kRunTimeBits)) - 1;

constexpr uint64_t run_time_of(uint64_t time) { return time < kMaxRunTime ? time : kMaxRunTime; }
constexpr uint64_t run_word(uint64_t time, uint64_t weight) {
  return (weight << kRunTimeBits) | run_time_of(time);
}
constexpr uint64_t run_time(uint64_t word) { return word & kMaxRunTime; }
constexpr uint64_t run_weight(uint64_t word) { return word >> kRunTimeBits; }

struct alignas(64) ShardState {
  uint64_t keys;
  uint64_t evictions;
  uint64_t reclaimed;
  uint64_t recoveries;          // dead lock holders whose writes were rolled back
  uint32_t free_head;           // first free block, or kNoBlock
  uint32_t unused_blocks_from;  // blocks from here on were never handed out
  uint32_t cursor;              // where the search for a log to evict resumes
  uint32_t repairs;             // times the shard was found damaged and reset
};
static_assert(sizeof(ShardState) == kUnitBytes);

// A check that writes up to 15 units touches only the index's first line.
struct alignas(64) JournalIndex {
  uint32_t count;                   // saved units that a dead writer's successor must restore
  uint32_t offsets[kJournalUnits];  // each unit's offset from the shard's start
};
static_assert(sizeof(JournalIndex) == 2 * kUnitBytes);

struct alignas(64) Unit {
  unsigned char bytes[kUnitBytes];
};

// Offsets inside a shard.
inline constexpr uint64_t kLockOffset = 0;
inline constexpr uint64_t kStateOffset = kUnitBytes;
inline constexpr uint64_t kJournalIndexOffset = 2 * kUnitBytes;
inline constexpr uint64_t kJournalDataOffset = kJournalIndexOffset + sizeof(JournalIndex);
inline constexpr uint64_t kSetsOffset = kJournalDataOffset + kJournalUnits * kUnitBytes;
inline constexpr uint64_t kSetBytes = kWays * sizeof(Slot);
static_assert(sizeof(SharedLock) <= kUnitBytes);

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

// Marks `count` configurations (1 to kMaxZoneRates) as the rates of one limit:
// each gets its place and the limit's digest when there are several; a limit
// of one rate is left as it is. The same limit gets the same marks in every
// process.
void mark_rates(ZoneConfig* configs, size_t count);

// Lays out a new zone in `base` (zeroed, `size` bytes, at least
// geometry.needed_bytes()): header and hash keys; the ready word is left 0
// for the caller to publish. Zeroed locks are free locks.
void initialise_region(void* base, uint64_t size, const Geometry& geometry,
                       const uint64_t (&hash_keys)[4], uint64_t replacements = 0);

// Publishes a fully initialised region to attachers (a release store).
void publish_ready(void* base);

// Whether the creator has published the region (an acquire load); requires
// size >= kHeaderBytes.
bool is_ready(const void* base);

class ZoneView {
 public:
  // Validates the region (magic, version, geometry against `size`, ready
  // word) and returns a view over it. Throws ZoneError naming `zone`.
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

  // The configuration a slot's (id, tag) names, if the table still holds it
  // under that generation; nullopt for an orphan or a damaged entry.
  std::optional<ZoneConfig> config(uint32_t id, uint32_t tag) const;
  // Entries in use.
  uint32_t config_count() const;

  // Finds `config` in the table or adds it, and records an attachment of
  // this process to it, under the header's lock; entries that no live
  // process is attached to are freed when room is needed. Throws ZoneError
  // when more distinct configurations are alive than the table holds, or the
  // lock fails.
  ConfigRef register_config(const ZoneConfig& config) const;
  // Drops one attachment of this process to `ref`. Never throws; gives up
  // quietly when the table's lock is not free soon.
  void release_config(const ConfigRef& ref) const noexcept;

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
