// FlatTable is one shard's hash table from client key to limiter state: open
// addressing with linear probing over one block holding an array of control
// bytes (0 = empty, otherwise 0x80 | the top 7 bits of the key's hash) followed
// by an array of slots, each holding the key inline (KeyText) next to its state.
// The table starts with no storage, doubles when it would pass 3/4 full, and
// never shrinks. Erasing shifts later entries of the probe run back, so no
// tombstones are left and lookups stay as short as the load allows.
//
// Not synchronised: the caller holds the shard's lock. Pointers to states stay
// valid until the next insertion or erase.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "algorithms/key_text.h"
#include "algorithms/table_storage.h"

namespace vorn {

template <typename V>
class FlatTable {
 public:
  struct Slot {
    KeyText key;
    V value;
  };

  FlatTable() = default;
  FlatTable(const FlatTable&) = delete;
  FlatTable& operator=(const FlatTable&) = delete;
  ~FlatTable() { destroy_entries(); }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }

  V* find(std::string_view key, uint64_t hash) {
    if (capacity_ == 0) return nullptr;
    const uint8_t tag = tag_of(hash);
    for (size_t i = hash & mask(); control_[i] != kEmpty; i = next(i)) {
      if (control_[i] == tag && slots_[i].key.view() == key) return &slots_[i].value;
    }
    return nullptr;
  }

  // Inserts a key known to be absent. Grows first, so a failed allocation
  // leaves the table unchanged. `hasher(key)` gives the hash of a stored key,
  // needed when entries move.
  template <typename Hasher>
  V* insert_new(std::string_view key, uint64_t hash, V&& value, const Hasher& hasher) {
    if ((size_ + 1) * 4 > capacity_ * 3) grow(hasher);
    KeyText owned(key);
    size_t i = hash & mask();
    while (control_[i] != kEmpty) i = next(i);
    std::construct_at(&slots_[i], Slot{std::move(owned), std::move(value)});
    control_[i] = tag_of(hash);
    ++size_;
    return &slots_[i].value;
  }

  // Examines up to `budget` entries (skipping empty slots, at most 8 per
  // entry), continuing where the previous sweep stopped, and erases those for
  // which `reclaimable(key, state)` holds.
  template <typename Reclaimable, typename Hasher>
  void sweep(size_t budget, const Reclaimable& reclaimable, const Hasher& hasher) {
    for (size_t slots_left = budget * 8; budget > 0 && slots_left > 0 && size_ > 0; --slots_left) {
      const size_t i = sweep_cursor_ & mask();
      if (control_[i] == kEmpty) {
        sweep_cursor_ = next(i);
        continue;
      }
      --budget;
      if (reclaimable(slots_[i].key.view(), std::as_const(slots_[i].value))) {
        erase_at(i, hasher);  // a later entry may have moved into i: look again
      } else {
        sweep_cursor_ = next(i);
      }
    }
  }

  // Visits every entry as `visit(key, state)`.
  template <typename Visit>
  void for_each(Visit&& visit) const {
    for (size_t i = 0; i < capacity_; ++i) {
      if (control_[i] != kEmpty) visit(slots_[i].key.view(), slots_[i].value);
    }
  }

 private:
  static constexpr uint8_t kEmpty = 0;
  static constexpr size_t kInitialCapacity = 8;

  static uint8_t tag_of(uint64_t hash) { return static_cast<uint8_t>(0x80 | (hash >> 57)); }
  size_t mask() const { return capacity_ - 1; }
  size_t next(size_t i) const { return (i + 1) & mask(); }

  // The control bytes, padded so the slots that follow are aligned.
  static size_t control_bytes(size_t capacity) {
    return (capacity + alignof(Slot) - 1) / alignof(Slot) * alignof(Slot);
  }

  template <typename Hasher>
  void erase_at(size_t hole, const Hasher& hasher) {
    std::destroy_at(&slots_[hole]);
    control_[hole] = kEmpty;
    --size_;
    // Pull back every later entry of the run that may live at the hole: one
    // whose home lies cyclically outside (hole, i].
    for (size_t i = next(hole); control_[i] != kEmpty; i = next(i)) {
      const size_t home = hasher(slots_[i].key.view()) & mask();
      const bool home_after_hole =
          hole < i ? (hole < home && home <= i) : (hole < home || home <= i);
      if (home_after_hole) continue;
      std::construct_at(&slots_[hole], std::move(slots_[i]));
      std::destroy_at(&slots_[i]);
      control_[hole] = control_[i];
      control_[i] = kEmpty;
      hole = i;
    }
  }

  template <typename Hasher>
  void grow(const Hasher& hasher) {
    const size_t new_capacity = capacity_ == 0 ? kInitialCapacity : capacity_ * 2;
    const size_t control_size = control_bytes(new_capacity);
    TableStorage storage(control_size + new_capacity * sizeof(Slot));  // zeroed: all empty
    auto* new_control = static_cast<uint8_t*>(storage.data());
    auto* new_slots = reinterpret_cast<Slot*>(new_control + control_size);
    for (size_t i = 0; i < capacity_; ++i) {
      if (control_[i] == kEmpty) continue;
      size_t j = hasher(slots_[i].key.view()) & (new_capacity - 1);
      while (new_control[j] != kEmpty) j = (j + 1) & (new_capacity - 1);
      std::construct_at(&new_slots[j], std::move(slots_[i]));
      std::destroy_at(&slots_[i]);
      new_control[j] = control_[i];
    }
    storage_ = std::move(storage);
    control_ = new_control;
    slots_ = new_slots;
    capacity_ = new_capacity;
  }

  void destroy_entries() {
    for (size_t i = 0; i < capacity_; ++i) {
      if (control_[i] != kEmpty) std::destroy_at(&slots_[i]);
    }
  }

  TableStorage storage_;
  uint8_t* control_ = nullptr;
  Slot* slots_ = nullptr;
  size_t capacity_ = 0;
  size_t size_ = 0;
  size_t sweep_cursor_ = 0;
};

}  // namespace vorn
