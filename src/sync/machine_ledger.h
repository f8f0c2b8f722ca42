// A MachineLedger is the file that lets every process of one machine share a
// synced limit: one table of keys (see SyncKey) in shared memory beside a
// zone, and an election of the one process that syncs the table with Redis
// for all of them, so that Redis sees one client per machine.
//
// The file "<zone directory>/vorn.<zone>.sync-<scope digest>-v1" holds a
// header (geometry, hash keys, the elected process and what its syncs tell
// everyone: live instances, whether the last sync failed, when it ran) and
// shards, each a SharedLock and sets of kWays records, with a line of tags
// per set that tells which way may hold a key without reading the records,
// and which ways are free (tag 0: written before a record is taken and
// cleared after it is freed, so a free tag never hides a live record). A
// record is a commit
// word and two copies of a key's state: a writer fills the copy the word does
// not name and then advances the word, so a process that dies at any instant
// leaves the record as it was before or after, never half written, and the
// lock it held is taken over with nothing to repair.
//
// Everything in the file is hostile input: the geometry is validated against
// the file's size once and copied out; a record's place comes from a keyed
// digest of the key, never from a word of the file; the commit word only
// chooses between the record's two copies; a copy is taken only when it names
// the key and its numbers are plausible (else the key starts fresh). A file
// that does not validate is replaced by a fresh one. A truncated file reads as
// zeros (FaultGuard) and the ledger reports itself broken: its owner then
// keeps its keys alone.
//
// Thread-safety: every function is thread-safe and process-safe; each
// record is read and written under its shard's lock.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "algorithms/siphash.h"
#include "zone/fault_guard.h"
#include "zone/shared_lock.h"
#include "zone/zone_placement.h"

namespace vorn {

struct LedgerRecordId {
  uint64_t first = 0;
  uint64_t second = 0;
};

class MachineLedger {
 public:
  static constexpr uint32_t kWays = 16;
  static constexpr uint32_t kShards = 64;
  static constexpr uint64_t kDefaultRecords = 32768;
  static constexpr uint64_t kMinBytes = 128 * 1024;
  static constexpr uint64_t kMaxBytes = uint64_t{1} << 34;

  // The records a file of at most `bytes` holds (at least one set per shard);
  // throws ZoneRefusal for a size out of [kMinBytes, kMaxBytes].
  static uint64_t records_for(uint64_t bytes, size_t state_bytes);

  // The ledger of `scope` (a text that names the limit and where it syncs)
  // beside `zone`, made with room for `records` records of `state_bytes` each
  // when missing or invalid. Throws ZoneError (InvalidZoneName for a bad name)
  // when it can be neither attached nor made.
  static std::unique_ptr<MachineLedger> open(const ZonePlacement& zone, std::string_view scope,
                                             size_t state_bytes, uint64_t records = kDefaultRecords);
  ~MachineLedger();
  MachineLedger(const MachineLedger&) = delete;
  MachineLedger& operator=(const MachineLedger&) = delete;

  const std::string& path() const { return path_; }
  LedgerRecordId id_of(std::string_view key) const;

  // Runs `body(void* state, bool held)` under the shard lock of `id`'s
  // record: `state` is a private copy of the record's state (`held` false
  // when the key has none, or none plausible, which `body` checks and then
  // fills in), committed when `body` returns true. A key without a record gets
  // a free way of its set when `create`; without one, `body` is not run and
  // the call returns false. Throws ZoneError when the lock cannot be had, or
  // once the file is broken.
  template <typename Body>
  bool with_record(const LedgerRecordId& id, bool create, size_t state_bytes, Body&& body) const;

  // Runs `body(void* state, const LedgerRecordId& id)` on every record in
  // use, shard by shard, each under its lock; commits the state when `body`
  // returns a value above 0 and frees the record below 0. Throws as with_record.
  template <typename Body>
  void for_each(size_t state_bytes, Body&& body) const;

  // Whether this process is the elected one after asking at `now_ms`: it is
  // when it already was (renewed), or when the elected one is gone or has not
  // renewed for three intervals (taken over; `took_over` then says so).
  bool elect(uint64_t now_ms, uint64_t interval_ms, bool& took_over) const;
  // Gives the election up, when this process holds it.
  void resign() const;
  // This process as the election writes it.
  uint64_t self() const;

  // What the elected process's syncs tell every process.
  void publish(uint64_t instances, bool degraded, uint64_t sync_ms) const;
  uint64_t instances() const;
  bool degraded() const;
  uint64_t last_sync_ms() const;

  // Whether the file was truncated under this process (reads are then zeros).
  bool broken() const { return guard_ && guard_->faulted(); }
  uint64_t records_in_use() const;

 private:
  struct Geometry {
    uint64_t total_bytes = 0;
    uint32_t shard_count = 0;
    uint32_t sets_per_shard = 0;
    uint64_t record_bytes = 0;
    uint64_t shard_bytes = 0;
  };

  MachineLedger(std::string path, void* base, Geometry geometry, SipKey first, SipKey second,
                int fd);
  static Geometry geometry_for(size_t state_bytes, uint64_t records);

  unsigned char* shard(uint32_t index) const;
  unsigned char* record(uint32_t shard_index, uint64_t way) const;
  // The kWays tags of a set: a record's tag_of(id) while in use, 0 when free.
  uint32_t* tags(uint32_t shard_index, uint64_t set_in_shard) const;
  static uint32_t tag_of(const LedgerRecordId& id) { return static_cast<uint32_t>(id.second) | 1u; }
  uint64_t* header_word(size_t offset) const;
  // The guard of `shard_index`'s lock; fails at once while a holder that
  // kept it past the timeout keeps it still.
  zone::SharedLockGuard lock_shard(uint32_t shard_index) const;
  void check_intact() const;

  std::string path_;
  unsigned char* base_;
  Geometry geometry_;
  SipKey first_key_;
  SipKey second_key_;
  int fd_;
  std::unique_ptr<zone::FaultGuard> guard_;
  mutable std::unique_ptr<std::atomic<uint64_t>[]> stuck_;
};

// A record: the commit word, then two copies of {id, in_use, state}.
namespace ledger_record {
inline constexpr size_t kCopyHead = 24;  // first, second, in_use (8 bytes)
inline size_t copy_bytes(size_t state_bytes) { return (kCopyHead + state_bytes + 7) & ~size_t{7}; }
inline std::atomic_ref<uint64_t> commit(unsigned char* record) {
  return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(record));
}
inline unsigned char* copy(unsigned char* record, size_t state_bytes, uint64_t which) {
  return record + 8 + (which & 1) * copy_bytes(state_bytes);
}
struct Head {
  uint64_t first;
  uint64_t second;
  uint64_t in_use;  // 1 for a record in use; anything else is free
};
inline Head head_of(const unsigned char* copy) {
  Head head;
  std::memcpy(&head, copy, sizeof head);
  return head;
}
// Writes the other copy and names it.
inline void commit_copy(unsigned char* record, size_t state_bytes, const Head& head,
                        const void* state) {
  const uint64_t word = commit(record).load(std::memory_order_acquire);
  unsigned char* target = copy(record, state_bytes, word + 1);
  std::memcpy(target, &head, sizeof head);
  if (state != nullptr) std::memcpy(target + kCopyHead, state, state_bytes);
  commit(record).store(word + 1, std::memory_order_release);
}
}  // namespace ledger_record

template <typename Body>
bool MachineLedger::with_record(const LedgerRecordId& id, bool create, size_t state_bytes,
                                Body&& body) const {
  using namespace ledger_record;
  check_intact();
  const uint64_t sets = uint64_t{geometry_.shard_count} * geometry_.sets_per_shard;
  const uint64_t set = id.first % sets;
  const auto shard_index = static_cast<uint32_t>(set % geometry_.shard_count);
  const uint64_t first_way = (set / geometry_.shard_count) * kWays;
  zone::SharedLockGuard lock = lock_shard(shard_index);
  lock.mark_consistent();  // a record is never half written: nothing to repair
  const uint64_t set_in_shard = set / geometry_.shard_count;
  uint32_t* const tag_line = tags(shard_index, set_in_shard);
  const auto tag_at = [&](uint64_t way) { return std::atomic_ref<uint32_t>(tag_line[way]); };
  const uint32_t tag = tag_of(id);
  const auto holds = [&](uint64_t way) {
    unsigned char* at = record(shard_index, first_way + way);
    const Head head = head_of(copy(at, state_bytes, commit(at).load(std::memory_order_acquire)));
    return head.in_use == 1 && head.first == id.first && head.second == id.second;
  };
  unsigned char* found = nullptr;
  uint64_t found_way = kWays;
  for (uint64_t way = 0; way < kWays; ++way) {
    if (tag_at(way).load(std::memory_order_relaxed) == tag && holds(way)) {
      found_way = way;
      found = record(shard_index, first_way + way);
      break;
    }
  }
  unsigned char* free_way = nullptr;
  if (found == nullptr) {
    // Not where the tags say: every way is looked at, and the tags mended.
    for (uint64_t way = 0; way < kWays; ++way) {
      unsigned char* at = record(shard_index, first_way + way);
      const Head head = head_of(copy(at, state_bytes, commit(at).load(std::memory_order_acquire)));
      if (head.in_use != 1) {
        tag_at(way).store(0, std::memory_order_relaxed);
        if (free_way == nullptr) {
          free_way = at;
          found_way = way;
        }
      } else if (head.first == id.first && head.second == id.second) {
        found = at;
        found_way = way;
        tag_at(way).store(tag, std::memory_order_relaxed);
        break;
      } else {
        tag_at(way).store(tag_of({head.first, head.second}), std::memory_order_relaxed);
      }
    }
  }
  if (found == nullptr && (!create || free_way == nullptr)) {
    check_intact();
    return false;
  }
  unsigned char* at = found != nullptr ? found : free_way;
  alignas(16) unsigned char state[512];
  static_assert(sizeof state >= 256);
  if (state_bytes > sizeof state) return false;
  std::memcpy(state, copy(at, state_bytes, commit(at).load(std::memory_order_acquire)) + kCopyHead,
              state_bytes);
  const bool keep = body(static_cast<void*>(state), found != nullptr);
  check_intact();
  if (keep) {
    // The tag before the record and cleared only after it: a way whose tag is
    // 0 is free, whenever a writer dies (the sweeps below rely on it).
    tag_at(found_way).store(tag, std::memory_order_release);
    commit_copy(at, state_bytes, Head{id.first, id.second, 1}, state);
  }
  return true;
}

template <typename Body>
void MachineLedger::for_each(size_t state_bytes, Body&& body) const {
  using namespace ledger_record;
  const uint64_t ways = uint64_t{geometry_.sets_per_shard} * kWays;
  alignas(16) unsigned char state[512];
  if (state_bytes > sizeof state) return;
  for (uint32_t s = 0; s < geometry_.shard_count; ++s) {
    check_intact();
    zone::SharedLockGuard lock = lock_shard(s);
    lock.mark_consistent();
    for (uint64_t way = 0; way < ways; ++way) {
      // A free way's record is never read: a sweep touches the live keys only.
      std::atomic_ref<uint32_t> tag(tags(s, way / kWays)[way % kWays]);
      if (tag.load(std::memory_order_acquire) == 0) continue;
      unsigned char* at = record(s, way);
      const unsigned char* current = copy(at, state_bytes, commit(at).load(std::memory_order_acquire));
      const Head head = head_of(current);
      if (head.in_use != 1) continue;
      std::memcpy(state, current + kCopyHead, state_bytes);
      const int verdict = body(static_cast<void*>(state), LedgerRecordId{head.first, head.second});
      if (verdict > 0) {
        commit_copy(at, state_bytes, head, state);
      } else if (verdict < 0) {
        commit_copy(at, state_bytes, Head{0, 0, 0}, nullptr);
        tag.store(0, std::memory_order_release);
      }
    }
  }
  check_intact();
}

}  // namespace vorn
