#include "zone/zone_meters.h"

#include <atomic>
#include <cstring>

#include "zone/shared_lock.h"
#include "zone/task_identity.h"

namespace vorn::zone {
namespace {

template <typename T>
T load_shared(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}

template <typename T>
void store_shared(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// The record's name, or nullopt for one never named or damaged.
std::optional<std::string_view> name_of(const MeterRecord& record) {
  const uint32_t length = load_shared(record.name_length);
  if (length == 0 || length > kMaxMeterName) return std::nullopt;
  return std::string_view(record.name, length);
}

bool held_by_live_engine(const MeterRecord& record) {
  const uint32_t owner = load_shared(record.owner);
  return owner != 0 && is_alive(TaskIdentity{owner, load_shared(record.owner_stamp)});
}

void take(MeterRecord& record, const TaskIdentity& self) {
  store_shared(record.owner_stamp, self.stamp);
  store_shared(record.owner, self.id);
}

}  // namespace

bool valid_meter_name(std::string_view name) {
  return !name.empty() && name.size() <= kMaxMeterName;
}

std::optional<uint32_t> claim_meter(const ZoneView& zone, std::string_view name) noexcept {
  if (!valid_meter_name(name)) return std::nullopt;
  try {
    SharedLockGuard guard(&zone.header()->config_lock, zone.name(), "the configuration table's lock");
    MeterRecord* records = zone.header()->meters;
    const TaskIdentity self = current_process();
    std::optional<uint32_t> unnamed;
    for (uint32_t i = 0; i < kMaxMeters; ++i) {
      MeterRecord& record = records[i];
      const std::optional<std::string_view> named = name_of(record);
      if (!named) {
        // A record that names nothing and has no owner was never claimed; a
        // damaged length leaves the record alone.
        if (!unnamed && load_shared(record.name_length) == 0) unnamed = i;
        continue;
      }
      if (*named == name && !held_by_live_engine(record)) {
        take(record, self);
        return i;
      }
    }
    if (!unnamed) return std::nullopt;
    MeterRecord& record = records[*unnamed];
    std::memset(record.counts, 0, sizeof record.counts);
    std::memcpy(record.name, name.data(), name.size());
    store_shared(record.name_length, static_cast<uint32_t>(name.size()));
    take(record, self);
    return unnamed;
  } catch (...) {
    return std::nullopt;
  }
}

void release_meter(const ZoneView& zone, uint32_t index) noexcept {
  if (index >= kMaxMeters) return;
  try {
    SharedLockGuard guard(&zone.header()->config_lock, zone.name(), "the configuration table's lock");
    MeterRecord& record = zone.header()->meters[index];
    const TaskIdentity self = current_process();
    if (load_shared(record.owner) == self.id && load_shared(record.owner_stamp) == self.stamp) {
      store_shared(record.owner, uint32_t{0});
    }
  } catch (...) {
    // The record stays held until the process is gone; then it is taken over.
  }
}

void add_to_meter(const ZoneView& zone, uint32_t index, const CheckCounts& counts) noexcept {
  if (index >= kMaxMeters) return;
  uint64_t* stored = zone.header()->meters[index].counts;
  for (size_t i = 0; i < kCheckOutcomeKinds; ++i) {
    if (counts.values[i] == 0) continue;
    std::atomic_ref<uint64_t> count(stored[i]);
    count.store(count.load(std::memory_order_relaxed) + counts.values[i], std::memory_order_relaxed);
  }
}

void add_to_meter(const ZoneView& zone, uint32_t index, CheckOutcomeKind kind) noexcept {
  if (index >= kMaxMeters) return;
  std::atomic_ref<uint64_t> count(zone.header()->meters[index].counts[static_cast<size_t>(kind)]);
  count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

std::vector<NamedCounts> read_meters(const ZoneView& zone) {
  std::vector<NamedCounts> named;
  const MeterRecord* records = zone.header()->meters;
  for (uint32_t i = 0; i < kMaxMeters; ++i) {
    const std::optional<std::string_view> name = name_of(records[i]);
    if (!name) continue;
    CheckCounts counts;
    for (size_t kind = 0; kind < kCheckOutcomeKinds; ++kind) {
      counts.values[kind] = std::atomic_ref<uint64_t>(const_cast<uint64_t&>(records[i].counts[kind]))
                                .load(std::memory_order_relaxed);
    }
    NamedCounts* same = nullptr;
    for (NamedCounts& each : named) {
      if (each.name == *name) same = &each;
    }
    if (same == nullptr) same = &named.emplace_back(NamedCounts{std::string(*name), {}});
    same->counts += counts;
  }
  return named;
}

std::vector<NamedCounts> zone_meters(std::string_view name,
                                     const std::optional<std::string>& directory) {
  return read_meters(map_existing_zone(name, directory)->view());
}

}  // namespace vorn::zone
