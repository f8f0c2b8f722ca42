// FlatTable is one shard's hash table from client key to limiter state: open
// addressing with linear probing over one block holding an array of control
// bytes (0 = empty, otherwise 0x80 | the top 7 bits of the key's hash), an
// array of each entry's distance from its home slot (255: that far or more),
// and an array of slots, each holding the key inline (KeyText) next to its
// state. The distances let erasing and reclaiming find an entry's home
// without hashing its key again.
// The table starts with no storage, doubles when it would pass 3/4 full
// (unless the owner reclaims entries to make room, see make_room), and never
// shrinks. Dropping entries moves later entries of each probe run back into
// the gaps, so no tombstones are left and lookups stay as short as the load
// allows.
//
// Not synchronised: the caller holds the shard's lock. Pointers to states stay
// valid until the next insertion or erase.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

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
    if (needs_room()) grow(hasher);
    KeyText owned(key);
    if (take_dropped_mark(hash)) ++returned_since_pass_;
    ++inserted_since_pass_;
    size_t i = hash & mask();
    while (control_[i] != kEmpty) i = next(i);
    std::construct_at(&slots_[i], Slot{std::move(owned), std::move(value)});
    control_[i] = tag_of(hash);
    distance_[i] = distance_byte((i - hash) & mask());
    ++size_;
    return &slots_[i].value;
  }

  // Whether inserting one more key would pass the maximum load of 3/4.
  bool needs_room() const { return (size_ + 1) * 4 > capacity_ * 3; }

  // Makes room for one more key when the table is at its maximum load. When
  // most keys inserted since the previous pass are ones that pass dropped, the
  // clients that come back need more room than the table has: it grows, and
  // drops nothing. Otherwise one pass over the slots erases every entry for
  // which `reclaimable(state)` holds, marking each dropped key (see
  // mark_dropped), and the table grows unless that freed at least 1/8 of the
  // slots. Either way the next pass is at least capacity / 8 insertions away,
  // so passes cost a constant number of slot visits per insertion on average.
  template <typename Reclaimable, typename Hasher>
  void make_room(const Reclaimable& reclaimable, const Hasher& hasher) {
    const bool clients_return = returned_since_pass_ * 2 > inserted_since_pass_;
    returned_since_pass_ = inserted_since_pass_ = 0;
    if (clients_return || size_ == 0) {
      grow(hasher);
      return;
    }
    // A slot empty before anything is dropped: no probe run crosses it.
    size_t boundary = 0;
    while (control_[boundary] != kEmpty) ++boundary;
    const size_t size_before = size_;
    for (size_t i = 0; i < capacity_; ++i) {
      if (control_[i] != kEmpty && reclaimable(std::as_const(slots_[i].value))) {
        mark_dropped(i, hasher);
        std::destroy_at(&slots_[i]);
        control_[i] = kEmpty;
        --size_;
      }
    }
    if (size_ != size_before) close_gaps(boundary, hasher);
    if ((size_ + 1) * 8 > capacity_ * 5) grow(hasher);
  }

  // Removes `key`'s entry; false when it has none. The entries after it in
  // its probe run move back into the hole wherever their own probe path
  // crosses it, so no lookup ever stops early at it.
  template <typename Hasher>
  bool erase(std::string_view key, uint64_t hash, const Hasher& hasher) {
    if (capacity_ == 0) return false;
    const uint8_t tag = tag_of(hash);
    size_t hole = hash & mask();
    while (control_[hole] != tag || slots_[hole].key.view() != key) {
      if (control_[hole] == kEmpty) return false;
      hole = next(hole);
    }
    std::destroy_at(&slots_[hole]);
    control_[hole] = kEmpty;
    --size_;
    for (size_t j = next(hole); control_[j] != kEmpty; j = next(j)) {
      const size_t home = home_of(j, hasher);
      if (((j - home) & mask()) < ((j - hole) & mask())) continue;
      std::construct_at(&slots_[hole], std::move(slots_[j]));
      std::destroy_at(&slots_[j]);
      control_[hole] = control_[j];
      distance_[hole] = distance_byte((hole - home) & mask());
      control_[j] = kEmpty;
      hole = j;
    }
    return true;
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
  static constexpr uint8_t kFarAway = 255;
  static constexpr size_t kMinMarkBits = size_t{1} << 16;

  static uint8_t tag_of(uint64_t hash) { return static_cast<uint8_t>(0x80 | (hash >> 57)); }
  size_t mask() const { return capacity_ - 1; }
  size_t next(size_t i) const { return (i + 1) & mask(); }

  // The control and distance bytes, padded so the slots that follow are aligned.
  static size_t control_bytes(size_t capacity) {
    return (2 * capacity + alignof(Slot) - 1) / alignof(Slot) * alignof(Slot);
  }

  static uint8_t distance_byte(size_t distance) {
    return static_cast<uint8_t>(distance < kFarAway ? distance : kFarAway);
  }

  // The home slot of the entry at i.
  template <typename Hasher>
  size_t home_of(size_t i, const Hasher& hasher) const {
    if (distance_[i] != kFarAway) return (i - distance_[i]) & mask();
    return hasher(slots_[i].key.view()) & mask();
  }

  // Dropped keys are marked by one bit each, in two generations of
  // max(32 x capacity, 65,536) bits: when the current one holds a mark per 8
  // bits it becomes the previous one and a fresh one starts. So a key dropped
  // within the last capacity x 4 (at least 8,192) drops is recognised when it
  // comes back, and a new key finds a bit set by chance less than a quarter of
  // the time. The bit comes from the key's home slot and tag, or from its
  // hash while the table is too small for those to pick among all the bits.
  // Growing forgets every mark.
  size_t mark_bits() const { return std::max<size_t>(32 * capacity_, kMinMarkBits); }

  size_t mark_bit(size_t home, uint8_t tag, uint64_t hash) const {
    if (capacity_ * 128 < kMinMarkBits) return hash & (kMinMarkBits - 1);
    return (home | (size_t{tag & 127u} * capacity_)) & (mark_bits() - 1);
  }

  template <typename Hasher>
  void mark_dropped(size_t i, const Hasher& hasher) {
    const size_t words = mark_bits() / 64;
    if (marks_capacity_ != capacity_) {
      dropped_marks_.assign(2 * words, 0);
      marks_capacity_ = capacity_;
      marks_in_current_ = 0;
    }
    if (marks_in_current_ == mark_bits() / 8) {
      current_marks_ ^= 1;
      std::fill_n(dropped_marks_.begin() + current_marks_ * words, words, uint64_t{0});
      marks_in_current_ = 0;
    }
    const uint64_t hash = capacity_ * 128 < kMinMarkBits ? hasher(slots_[i].key.view()) : 0;
    const size_t bit = mark_bit(home_of(i, hasher), control_[i], hash);
    dropped_marks_[current_marks_ * words + bit / 64] |= uint64_t{1} << (bit % 64);
    ++marks_in_current_;
  }

  bool take_dropped_mark(uint64_t hash) {
    if (marks_capacity_ != capacity_) return false;  // none, or forgotten
    const size_t words = mark_bits() / 64;
    const size_t bit = mark_bit(hash & this->mask(), tag_of(hash), hash);
    const uint64_t mask = uint64_t{1} << (bit % 64);
    uint64_t& current = dropped_marks_[current_marks_ * words + bit / 64];
    uint64_t& previous = dropped_marks_[(current_marks_ ^ 1) * words + bit / 64];
    const bool marked = ((current | previous) & mask) != 0;
    current &= ~mask;
    previous &= ~mask;
    return marked;
  }

  // After entries were dropped, moves every entry back to the first empty
  // slot of its probe path, taking the slots in order from `boundary`, a slot
  // that was empty before the drops. Entries of a run are then placed before
  // the later ones of the same run look for room, so one walk over the slots
  // (plus each entry's distance) closes every gap.
  template <typename Hasher>
  void close_gaps(size_t boundary, const Hasher& hasher) {
    for (size_t step = 1; step < capacity_; ++step) {
      const size_t i = (boundary + step) & mask();
      if (control_[i] == kEmpty) continue;
      const size_t home = home_of(i, hasher);
      size_t j = home;
      while (j != i && control_[j] != kEmpty) j = next(j);
      if (j == i) continue;
      std::construct_at(&slots_[j], std::move(slots_[i]));
      std::destroy_at(&slots_[i]);
      control_[j] = control_[i];
      control_[i] = kEmpty;
      distance_[j] = distance_byte((j - home) & mask());
    }
  }

  template <typename Hasher>
  void grow(const Hasher& hasher) {
    const size_t new_capacity = capacity_ == 0 ? kInitialCapacity : capacity_ * 2;
    const size_t control_size = control_bytes(new_capacity);
    TableStorage storage(control_size + new_capacity * sizeof(Slot));  // zeroed: all empty
    auto* new_control = static_cast<uint8_t*>(storage.data());
    uint8_t* new_distance = new_control + new_capacity;
    auto* new_slots = reinterpret_cast<Slot*>(new_control + control_size);
    for (size_t i = 0; i < capacity_; ++i) {
      if (control_[i] == kEmpty) continue;
      const size_t home = hasher(slots_[i].key.view()) & (new_capacity - 1);
      size_t j = home;
      while (new_control[j] != kEmpty) j = (j + 1) & (new_capacity - 1);
      new_distance[j] = distance_byte((j - home) & (new_capacity - 1));
      std::construct_at(&new_slots[j], std::move(slots_[i]));
      std::destroy_at(&slots_[i]);
      new_control[j] = control_[i];
    }
    storage_ = std::move(storage);
    control_ = new_control;
    distance_ = new_distance;
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
  uint8_t* distance_ = nullptr;
  Slot* slots_ = nullptr;
  size_t capacity_ = 0;
  size_t size_ = 0;
  std::vector<uint64_t> dropped_marks_;  // two generations; empty before any drop
  size_t marks_capacity_ = 0;            // the capacity the marks were made at
  size_t current_marks_ = 0;             // which generation takes new marks
  size_t marks_in_current_ = 0;
  size_t inserted_since_pass_ = 0;
  size_t returned_since_pass_ = 0;  // inserted keys that found their mark set
};

}  // namespace vorn
