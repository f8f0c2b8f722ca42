// FlatTable is one shard's hash table from client key to limiter state: open
// addressing with linear probing over one array of control bytes (0 = empty,
// otherwise 0x80 | the top 7 bits of the key's hash) and one array of slots, each
// holding the key inline (KeyText) next to its state. The table starts with no
// storage, doubles when it would pass 7/8 full, and never shrinks; erase shifts
// later entries back so no tombstones are left.
//
// Not synchronised: the caller holds the shard's lock. Pointers to states stay
// valid until the next insertion or erase.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "algorithms/key_text.h"

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
  ~FlatTable() { clear_storage(); }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }

  V* find(std::string_view key, uint64_t hash) {
    if (capacity_ == 0) return nullptr;
    const uint8_t tag = tag_of(hash);
    for (size_t i = hash & mask(); control_[i] != kEmpty; i = (i + 1) & mask()) {
      if (control_[i] == tag && slots_[i].key.view() == key) return &slots_[i].value;
    }
    return nullptr;
  }

  // Inserts a key known to be absent. Grows first, so a failed allocation
  // leaves the table unchanged; `hasher(key)` gives the hash of a stored key
  // when entries move to a larger array.
  template <typename Hasher>
  V* insert_new(std::string_view key, uint64_t hash, V&& value, const Hasher& hasher) {
    if ((size_ + 1) * 8 > capacity_ * 7) grow(hasher);
    KeyText owned(key);
    const size_t i = free_slot_for(hash);
    std::construct_at(&slots_[i], Slot{std::move(owned), std::move(value)});
    control_[i] = tag_of(hash);
    ++size_;
    return &slots_[i].value;
  }

  // Visits every state; `visit(key, value)`.
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

  size_t free_slot_for(uint64_t hash) const {
    size_t i = hash & mask();
    while (control_[i] != kEmpty) i = (i + 1) & mask();
    return i;
  }

  template <typename Hasher>
  void grow(const Hasher& hasher) {
    const size_t new_capacity = capacity_ == 0 ? kInitialCapacity : capacity_ * 2;
    auto new_control = std::make_unique<uint8_t[]>(new_capacity);  // zeroed: all empty
    Slot* new_slots = std::allocator<Slot>().allocate(new_capacity);
    for (size_t i = 0; i < capacity_; ++i) {
      if (control_[i] == kEmpty) continue;
      const uint64_t hash = hasher(slots_[i].key.view());
      size_t j = hash & (new_capacity - 1);
      while (new_control[j] != kEmpty) j = (j + 1) & (new_capacity - 1);
      std::construct_at(&new_slots[j], std::move(slots_[i]));
      std::destroy_at(&slots_[i]);
      new_control[j] = control_[i];
    }
    if (slots_ != nullptr) std::allocator<Slot>().deallocate(slots_, capacity_);
    slots_ = new_slots;
    control_ = std::move(new_control);
    capacity_ = new_capacity;
  }

  void clear_storage() {
    for (size_t i = 0; i < capacity_; ++i) {
      if (control_[i] != kEmpty) std::destroy_at(&slots_[i]);
    }
    if (slots_ != nullptr) std::allocator<Slot>().deallocate(slots_, capacity_);
    slots_ = nullptr;
    capacity_ = 0;
    size_ = 0;
  }

  std::unique_ptr<uint8_t[]> control_;
  Slot* slots_ = nullptr;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

}  // namespace vorn
