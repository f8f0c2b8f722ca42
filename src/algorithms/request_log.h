// A RequestLog is one key's log of admitted request times for the sliding
// window: a ring buffer of u64 milliseconds, oldest at the front. One entry is
// held inline; beyond that the entries live in a heap ring whose capacity starts
// at 4 and doubles when full, and which never shrinks. 24 bytes when inline.
// Move-only. Not synchronised: the owning shard's lock covers it.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

namespace vorn {

class RequestLog {
 public:
  RequestLog() = default;
  RequestLog(RequestLog&& other) noexcept
      : storage_(other.storage_),
        head_(other.head_),
        size_(other.size_),
        capacity_(other.capacity_) {
    other.capacity_ = kInline;
    other.size_ = 0;
    other.head_ = 0;
  }
  RequestLog& operator=(RequestLog&& other) noexcept {
    if (this != &other) {
      release();
      storage_ = other.storage_;
      head_ = other.head_;
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.capacity_ = kInline;
      other.size_ = 0;
      other.head_ = 0;
    }
    return *this;
  }
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;
  ~RequestLog() { release(); }

  bool empty() const { return size_ == 0; }
  uint64_t size() const { return size_; }
  uint64_t capacity() const { return capacity_; }

  // Whether every logged time is earlier than `time` (true when empty).
  bool all_before(uint64_t time) const {
    if (!on_heap()) return size_ == 0 || storage_.single < time;
    for (uint32_t i = 0; i < size_; ++i) {
      if (storage_.ring[(head_ + i) & (capacity_ - 1)] >= time) return false;
    }
    return true;
  }

  // Requires !empty().
  uint64_t front() const { return on_heap() ? storage_.ring[head_] : storage_.single; }

  // The newest entry. Requires !empty().
  uint64_t back() const {
    return on_heap() ? storage_.ring[(head_ + size_ - 1) & (capacity_ - 1)] : storage_.single;
  }

  // Requires !empty().
  void pop_front() {
    if (on_heap()) head_ = (head_ + 1) & (capacity_ - 1);
    --size_;
  }

  void push_back(uint64_t timestamp) {
    if (size_ == capacity_) grow();
    if (on_heap()) {
      storage_.ring[(head_ + size_) & (capacity_ - 1)] = timestamp;
    } else {
      storage_.single = timestamp;
    }
    ++size_;
  }

 private:
  static constexpr uint32_t kInline = 1;
  static constexpr uint32_t kFirstHeapCapacity = 4;

  bool on_heap() const { return capacity_ > kInline; }

  void grow() {
    const uint32_t new_capacity = on_heap() ? capacity_ * 2 : kFirstHeapCapacity;
    uint64_t* ring = std::allocator<uint64_t>().allocate(new_capacity);
    for (uint32_t i = 0; i < size_; ++i) {
      ring[i] = on_heap() ? storage_.ring[(head_ + i) & (capacity_ - 1)] : storage_.single;
    }
    release();
    storage_.ring = ring;
    head_ = 0;
    capacity_ = new_capacity;
  }

  void release() {
    if (on_heap()) std::allocator<uint64_t>().deallocate(storage_.ring, capacity_);
    capacity_ = kInline;
  }

  union Storage {
    uint64_t single;
    uint64_t* ring;
  } storage_{.single = 0};
  uint32_t head_ = 0;
  uint32_t size_ = 0;
  uint32_t capacity_ = kInline;
};

}  // namespace vorn
