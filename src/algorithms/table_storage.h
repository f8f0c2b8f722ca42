// TableStorage is one zero-filled block of memory for a hash table's arrays.
// Large blocks come straight from the operating system (mmap), so that a table
// that grows returns its old array to the system at once and untouched pages
// of a new one cost nothing; small blocks come from the C allocator. Move-only;
// frees its block on destruction. Not synchronised.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

namespace vorn {

class TableStorage {
 public:
  TableStorage() = default;

  // Throws std::bad_alloc when no memory is left.
  explicit TableStorage(size_t bytes) : bytes_(bytes) {
    if (bytes >= kMapThreshold) {
      void* block =
          mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (block == MAP_FAILED) throw std::bad_alloc();
      data_ = block;
      mapped_ = true;
    } else {
      data_ = std::calloc(1, bytes);
      if (data_ == nullptr) throw std::bad_alloc();
    }
  }

  TableStorage(TableStorage&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        bytes_(std::exchange(other.bytes_, 0)),
        mapped_(other.mapped_) {}

  TableStorage& operator=(TableStorage&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      bytes_ = std::exchange(other.bytes_, 0);
      mapped_ = other.mapped_;
    }
    return *this;
  }

  TableStorage(const TableStorage&) = delete;
  TableStorage& operator=(const TableStorage&) = delete;
  ~TableStorage() { release(); }

  void* data() const { return data_; }

 private:
  static constexpr size_t kMapThreshold = 256 * 1024;

  void release() {
    if (data_ == nullptr) return;
    if (mapped_) {
      munmap(data_, bytes_);
    } else {
      std::free(data_);
    }
    data_ = nullptr;
  }

  void* data_ = nullptr;
  size_t bytes_ = 0;
  bool mapped_ = false;
};

}  // namespace vorn
