// A zone's meters: the check counts of the engines attached to it, each under
// the name its host gives its limit, so that any process of the machine can
// tell every process's counts. Each engine writes a record of its own (see
// MeterRecord), so counting never shares a cache line between processes and
// needs no read-modify-write; readers add up the records of each name.
//
// The records are hostile input like the rest of the zone: a name's length is
// checked before its bytes are read, no record's word decides where anything
// is written, and a damaged record is skipped. Every function is thread-safe
// and process-safe; add_to_meter() requires that only its caller writes that
// record (the engine's lock).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/check_counts.h"
#include "zone/zone_layout.h"
#include "zone/zone_mapping.h"

namespace vorn::zone {

struct NamedCounts {
  std::string name;
  CheckCounts counts;
};

// Whether `name` can name a meter: 1 to kMaxMeterName bytes.
bool valid_meter_name(std::string_view name);

// Claims a record for an engine of this process counting under `name` (a
// valid one): a record of that name that no live engine holds, whose counts
// go on from where they stand, else one never named. nullopt when there is
// none, or the table's lock cannot be had soon. Never throws.
std::optional<uint32_t> claim_meter(const ZoneView& zone, std::string_view name) noexcept;

// Gives record `index` up, when this process holds it. Never throws.
void release_meter(const ZoneView& zone, uint32_t index) noexcept;

// Adds `counts` to the record `index` this process holds.
void add_to_meter(const ZoneView& zone, uint32_t index, const CheckCounts& counts) noexcept;
// The same for one outcome.
void add_to_meter(const ZoneView& zone, uint32_t index, CheckOutcomeKind kind) noexcept;

// Every name's counts, summed over its records, in the order names were first
// claimed; read without the lock (each count a consistent word).
std::vector<NamedCounts> read_meters(const ZoneView& zone);

// read_meters() of the named zone, which must exist. Throws InvalidZoneName
// or ZoneError as zone_stats does.
std::vector<NamedCounts> zone_meters(std::string_view name,
                                     const std::optional<std::string>& directory = std::nullopt);

}  // namespace vorn::zone
