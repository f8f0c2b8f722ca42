// KeyText is the owned copy of a client key inside a store, in 16 bytes: keys of
// up to 15 bytes (every IPv4 address in text) live inline, longer keys in one
// heap block of exactly their length. Move-only; a moved-from KeyText is empty.
// Not synchronised: the owning shard's lock covers it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace vorn {

class KeyText {
 public:
  static constexpr size_t kInlineCapacity = 15;

  KeyText() { bytes_[kTagByte] = 0; }

  explicit KeyText(std::string_view text) {
    if (text.size() <= kInlineCapacity) {
      std::memcpy(bytes_, text.data(), text.size());
      bytes_[kTagByte] = static_cast<unsigned char>(text.size());
      return;
    }
    char* heap = std::allocator<char>().allocate(text.size());
    std::memcpy(heap, text.data(), text.size());
    const uint64_t length_and_tag = text.size() | (uint64_t{kHeapTag} << 56);
    std::memcpy(bytes_, &heap, sizeof heap);
    std::memcpy(bytes_ + 8, &length_and_tag, 8);
  }

  KeyText(KeyText&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.bytes_[kTagByte] = 0;
  }

  KeyText& operator=(KeyText&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
      other.bytes_[kTagByte] = 0;
    }
    return *this;
  }

  KeyText(const KeyText&) = delete;
  KeyText& operator=(const KeyText&) = delete;
  ~KeyText() { release(); }

  std::string_view view() const {
    if (!on_heap()) return {reinterpret_cast<const char*>(bytes_), bytes_[kTagByte]};
    return {heap_pointer(), heap_length()};
  }

 private:
  static constexpr size_t kTagByte = 15;
  static constexpr unsigned char kHeapTag = 0xFF;

  bool on_heap() const { return bytes_[kTagByte] == kHeapTag; }

  char* heap_pointer() const {
    char* pointer;
    std::memcpy(&pointer, bytes_, sizeof pointer);
    return pointer;
  }

  size_t heap_length() const {
    uint64_t length_and_tag;
    std::memcpy(&length_and_tag, bytes_ + 8, 8);
    return static_cast<size_t>(length_and_tag & ((uint64_t{1} << 56) - 1));
  }

  void release() {
    if (on_heap()) std::allocator<char>().deallocate(heap_pointer(), heap_length());
    bytes_[kTagByte] = 0;
  }

  alignas(8) unsigned char bytes_[16];
};

}  // namespace vorn
