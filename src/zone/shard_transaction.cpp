#include "zone/shard_transaction.h"

#include <atomic>
#include <cstring>
#include <string>

#include "zone/zone_error.h"

namespace vorn::zone {
namespace {

JournalIndex& journal_index(unsigned char* base) {
  return *reinterpret_cast<JournalIndex*>(base + kJournalIndexOffset);
}

Unit& journal_unit(unsigned char* base, uint32_t at) {
  return reinterpret_cast<Unit*>(base + kJournalDataOffset)[at];
}

uint32_t load_count(unsigned char* base) {
  return std::atomic_ref<uint32_t>(journal_index(base).count).load(std::memory_order_acquire);
}

void store_count(unsigned char* base, uint32_t count) {
  std::atomic_ref<uint32_t>(journal_index(base).count).store(count, std::memory_order_release);
}

}  // namespace

ShardTransaction::ShardTransaction(const ZoneView& zone, uint32_t shard)
    : zone_(zone),
      base_(zone.shard_base(shard)),
      lock_(reinterpret_cast<SharedLock*>(base_ + kLockOffset), zone.name(), "a shard's lock") {
  // A journal left by a holder that died (or any writer that did not finish)
  // is put back before anything is read; one that cannot be a journal means
  // the shard cannot be trusted at all.
  const uint32_t pending = load_count(base_);
  if (pending > kJournalUnits) {
    reset();
  } else if (lock_.owner_died() || pending != 0) {
    roll_back();
  }
  if (lock_.owner_died()) {
    ShardState& shard_state = state();
    shard_state.recoveries += 1;
  }
}

ShardTransaction::~ShardTransaction() {
  if (saved_ != 0) roll_back();
}

void ShardTransaction::touch(const void* unit) {
  const auto* at = static_cast<const unsigned char*>(unit);
  const uint64_t offset = static_cast<uint64_t>(at - base_);
  JournalIndex& index = journal_index(base_);
  for (uint32_t i = 0; i < saved_; ++i) {
    if (index.offsets[i] == offset) return;
  }
  if (saved_ == kJournalUnits) damaged("a check that writes too many units");
  std::memcpy(journal_unit(base_, saved_).bytes, at, kUnitBytes);
  index.offsets[saved_] = static_cast<uint32_t>(offset);
  ++saved_;
  store_count(base_, saved_);
  // The unit's new bytes must not become visible before the count that covers
  // its saved copy. A release store orders only what comes before it; the
  // release fence after it keeps the unit's later stores behind it too on
  // weakly ordered processors (a barrier on arm64, only a compiler barrier on
  // x86, whose stores stay in order anyway).
  std::atomic_thread_fence(std::memory_order_release);
}

void ShardTransaction::commit() {
  store_count(base_, 0);
  saved_ = 0;
}

// Restores saved units newest first, so the oldest copy of a unit wins. An
// offset that names no unit (a damaged journal) is skipped.
void ShardTransaction::roll_back() {
  uint32_t count = load_count(base_);
  if (count > kJournalUnits) count = kJournalUnits;
  const JournalIndex& index = journal_index(base_);
  const uint64_t shard_bytes = zone_.shard_bytes();
  for (uint32_t i = count; i-- > 0;) {
    const uint64_t offset = std::atomic_ref<uint32_t>(const_cast<uint32_t&>(index.offsets[i]))
                                .load(std::memory_order_relaxed);
    const bool is_unit = offset % kUnitBytes == 0 && offset + kUnitBytes <= shard_bytes &&
                         (offset == kStateOffset || offset >= kSetsOffset);
    if (is_unit) std::memcpy(base_ + offset, journal_unit(base_, i).bytes, kUnitBytes);
  }
  store_count(base_, 0);
  saved_ = 0;
}

void ShardTransaction::reset() {
  roll_back();
  const Geometry& geometry = zone_.geometry();
  ShardState& shard_state = state();
  const ShardState kept = shard_state;
  // A holder that dies from here on leaves an empty journal, so its successor
  // keeps what was zeroed and meets the rest as damage to reset again.
  std::memset(base_ + kSetsOffset, 0,
              uint64_t{geometry.sets_per_shard} * kSetBytes +
                  uint64_t{geometry.blocks_per_shard} * kUnitBytes);
  ShardState fresh{};
  fresh.evictions = kept.evictions;
  fresh.reclaimed = kept.reclaimed;
  fresh.recoveries = kept.recoveries;
  fresh.repairs = kept.repairs + 1;
  fresh.free_head = kNoBlock;
  shard_state = fresh;
}

Block& ShardTransaction::block(uint32_t index) const {
  if (index >= zone_.geometry().blocks_per_shard) damaged("a log names a block out of range");
  return reinterpret_cast<Block*>(base_ + zone_.geometry().blocks_offset())[index];
}

void ShardTransaction::damaged(std::string_view what) const { throw ShardDamaged{what}; }

}  // namespace vorn::zone
