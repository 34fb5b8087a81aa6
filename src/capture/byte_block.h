// An owning block of memory mapped directly from the system.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace zelta {

/// A block of bytes in its own mapping: pages count only once written, and
/// the whole block goes back to the system the moment it is dropped, so a
/// large stream can be released block by block while it is written out.
/// Move-only.
class ByteBlock {
 public:
  ByteBlock() = default;
  /// A block with room for `capacity` bytes; an empty block (capacity 0)
  /// when the system has no memory for it. `prefault` provides every page at
  /// once, which costs far less than taking them one by one on first write,
  /// for a block that is about to be filled.
  static ByteBlock allocate(std::size_t capacity, bool prefault = false);

  ~ByteBlock() { reset(); }
  ByteBlock(ByteBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ByteBlock& operator=(ByteBlock&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ByteBlock(const ByteBlock&) = delete;
  ByteBlock& operator=(const ByteBlock&) = delete;

  char* data() { return data_; }
  const char* data() const { return data_; }
  /// Bytes in use, from the start.
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  /// Declares the first `size` bytes (at most capacity()) in use.
  void set_size(std::size_t size) { size_ = size; }
  std::string_view view() const { return std::string_view(data_, size_); }
  /// Gives the memory back; the block is empty afterwards.
  void reset();
  /// Gives back the whole pages beyond the bytes in use.
  void shrink_to_fit();

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace zelta
