// A ZoneMeter is one engine's meter in its zone: the record it holds there
// (see zone_meters.h) under the name its host gives its limit, claimed at its
// first count, followed across the zone's mappings (a zone attached again, or
// replaced, gets a record claimed afresh) and across a fork (a child claims a
// record of its own, since its parent's record is its parent's to write). Counts
// made while it has no record (the zone cannot be used, or every record is
// held) are kept and added once it has one.
//
// Thread-safety: every method requires the caller's exclusion (the engine's
// limiter lock serialises them).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/check_counts.h"
#include "zone/task_identity.h"
#include "zone/zone_mapping.h"

namespace vorn {

class ZoneMeter {
 public:
  // Counts under "default" until renamed.
  ZoneMeter() = default;
  ZoneMeter(const ZoneMeter&) = delete;
  ZoneMeter& operator=(const ZoneMeter&) = delete;
  ~ZoneMeter();

  // Moves to `mapping` (nullptr: none), giving up the record in the old one.
  void follow(std::shared_ptr<const zone::ZoneMapping> mapping);
  // Lets go of the mapping without giving its record up (which would take
  // the zone's table lock): the record stays held until this process ends.
  void abandon();
  // Counts under `name` (valid_meter_name) from now on.
  void rename(std::string_view name);
  void add(CheckOutcomeKind kind) {
    // A check's common case: the record is held and no fork came since.
    if (counts_ != nullptr && claimed_in_ == zone::fork_generation()) {
      std::atomic_ref<uint64_t> count(counts_[static_cast<size_t>(kind)]);
      count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      return;
    }
    add_slowly(kind);
  }
  const std::string& name() const { return name_; }

 private:
  void add_slowly(CheckOutcomeKind kind);
  void claim();
  void release();

  std::string name_ = "default";
  std::shared_ptr<const zone::ZoneMapping> mapping_;
  std::optional<uint32_t> record_;
  uint32_t claimed_by_ = 0;  // the process that claimed record_
  uint32_t claimed_in_ = 0;  // its fork_generation() then
  uint64_t* counts_ = nullptr;  // record_'s counts, in mapping_, which holds them
  CheckCounts unsaved_;
};

}  // namespace vorn
