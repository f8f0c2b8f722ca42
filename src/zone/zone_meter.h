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

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/check_counts.h"
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
  void add(CheckOutcomeKind kind);
  const std::string& name() const { return name_; }

 private:
  void claim();
  void release();

  std::string name_ = "default";
  std::shared_ptr<const zone::ZoneMapping> mapping_;
  std::optional<uint32_t> record_;
  uint32_t claimed_by_ = 0;  // the process that claimed record_
  CheckCounts unsaved_;
};

}  // namespace vorn
