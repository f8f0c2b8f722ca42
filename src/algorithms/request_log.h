// A RequestLog is one key's log of admitted request times for the sliding
// window: a ring buffer of u64 milliseconds, oldest at the front. One entry is
// held inline; beyond that the entries live in a heap ring whose capacity starts
// at 4 and doubles when full, and which never shrinks. Sizes and indices are
// 64-bit, so any count the window allows is logged; the capacity is kept as its
// base-2 logarithm in the top bits of the count, which keeps the log at 24
// bytes. Growing past kMaxCapacity entries (more bytes than any address space)
// throws std::bad_alloc, as does a ring the allocator cannot supply; either way
// before anything changes, so the log stays as it was. Move-only. Not
// synchronised: the owning shard's lock covers it.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>

namespace vorn {

// The ring's arithmetic on the packed count word: log2 of the capacity in bits
// 58 to 63, the number of entries below them. Kept apart from the log so that
// it can be checked at any size without allocating a ring of that size.
namespace request_ring {

inline constexpr unsigned kCountBits = 58;
inline constexpr uint64_t kCountMask = (uint64_t{1} << kCountBits) - 1;
// The largest capacity's logarithm: its counts and indices stay below 2^58
// (so counting never carries into the logarithm), and its bytes (2^60) below
// what the allocator may be asked for.
inline constexpr unsigned kMaxLog2 = 57;

constexpr uint64_t pack(unsigned log2_capacity, uint64_t count) {
  return (uint64_t{log2_capacity} << kCountBits) | count;
}
constexpr uint64_t count(uint64_t word) { return word & kCountMask; }
constexpr unsigned log2_capacity(uint64_t word) {
  return static_cast<unsigned>(word >> kCountBits);
}
constexpr uint64_t capacity(uint64_t word) { return uint64_t{1} << log2_capacity(word); }

// The slot `offset` entries after the front at `head`.
constexpr uint64_t slot(uint64_t word, uint64_t head, uint64_t offset) {
  return (head + offset) & (capacity(word) - 1);
}

// The logarithm of the capacity after doubling. Throws std::bad_alloc past
// kMaxLog2: no address space holds that ring.
inline unsigned doubled(unsigned log2) {
  if (log2 >= kMaxLog2) throw std::bad_alloc();
  return log2 + 1;
}

}  // namespace request_ring

class RequestLog {
 public:
  static constexpr uint64_t kMaxCapacity = uint64_t{1} << request_ring::kMaxLog2;

  RequestLog() = default;
  RequestLog(RequestLog&& other) noexcept
      : storage_(other.storage_),
        head_(std::exchange(other.head_, 0)),
        count_(std::exchange(other.count_, 0)) {}
  RequestLog& operator=(RequestLog&& other) noexcept {
    if (this != &other) {
      release();
      storage_ = other.storage_;
      head_ = std::exchange(other.head_, 0);
      count_ = std::exchange(other.count_, 0);
    }
    return *this;
  }
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;
  ~RequestLog() { release(); }

  bool empty() const { return size() == 0; }
  uint64_t size() const { return request_ring::count(count_); }
  uint64_t capacity() const { return request_ring::capacity(count_); }

  // Whether every logged time is earlier than `time` (true when empty).
  bool all_before(uint64_t time) const {
    if (!on_heap()) return empty() || storage_.single < time;
    for (uint64_t i = 0; i < size(); ++i) {
      if (storage_.ring[request_ring::slot(count_, head_, i)] >= time) return false;
    }
    return true;
  }

  // Requires !empty().
  uint64_t front() const { return on_heap() ? storage_.ring[head_] : storage_.single; }

  // The newest entry. Requires !empty().
  uint64_t back() const {
    return on_heap() ? storage_.ring[request_ring::slot(count_, head_, size() - 1)]
                     : storage_.single;
  }

  // The entry `offset` places after the front. Requires offset < size().
  uint64_t at(uint64_t offset) const {
    return on_heap() ? storage_.ring[request_ring::slot(count_, head_, offset)] : storage_.single;
  }

  // Drops the newest entry. Requires !empty().
  void pop_back() { --count_; }

  // Requires !empty().
  void pop_front() {
    if (on_heap()) head_ = request_ring::slot(count_, head_, 1);
    --count_;
  }

  void push_back(uint64_t timestamp) {
    if (size() == capacity()) grow();
    if (on_heap()) {
      storage_.ring[request_ring::slot(count_, head_, size())] = timestamp;
    } else {
      storage_.single = timestamp;
    }
    ++count_;
  }

  // Logs `copies` entries of `timestamp`, all or none: the ring grows first,
  // and a ring too large for memory throws std::bad_alloc before anything
  // changes.
  void push_back(uint64_t timestamp, uint64_t copies) {
    if (copies == 1) return push_back(timestamp);
    if (copies == 0) return;
    if (copies > kMaxCapacity - size()) throw std::bad_alloc();
    const uint64_t needed = size() + copies;
    if (needed > capacity()) {
      unsigned log2 = on_heap() ? request_ring::log2_capacity(count_) : kFirstHeapLog2;
      while ((uint64_t{1} << log2) < needed) log2 = request_ring::doubled(log2);
      grow_to(log2);
    }
    for (uint64_t i = 0; i < copies; ++i) {
      storage_.ring[request_ring::slot(count_, head_, size())] = timestamp;
      ++count_;
    }
  }

 private:
  static constexpr unsigned kFirstHeapLog2 = 2;  // 4 entries

  // Inline is capacity 1: a logarithm of 0, so the whole word is the count.
  bool on_heap() const { return count_ > request_ring::kCountMask; }

  void grow() {
    grow_to(on_heap() ? request_ring::doubled(request_ring::log2_capacity(count_))
                      : kFirstHeapLog2);
  }

  // Moves the entries into a heap ring of 2^log2 places, at least size().
  void grow_to(unsigned log2) {
    uint64_t* ring = std::allocator<uint64_t>().allocate(uint64_t{1} << log2);
    const uint64_t entries = size();
    for (uint64_t i = 0; i < entries; ++i) {
      ring[i] = on_heap() ? storage_.ring[request_ring::slot(count_, head_, i)] : storage_.single;
    }
    release();
    storage_.ring = ring;
    head_ = 0;
    count_ = request_ring::pack(log2, entries);
  }

  // Frees the ring; the caller then sets every field.
  void release() {
    if (on_heap()) std::allocator<uint64_t>().deallocate(storage_.ring, capacity());
  }

  union Storage {
    uint64_t single;
    uint64_t* ring;
  } storage_{.single = 0};
  uint64_t head_ = 0;   // the front's slot in the ring; 0 inline
  uint64_t count_ = 0;  // request_ring's packed word
};

static_assert(sizeof(RequestLog) == 24);

}  // namespace vorn
