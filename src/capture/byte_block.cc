#include "capture/byte_block.h"

#include <sys/mman.h>
#include <unistd.h>

namespace zelta {

namespace {

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

ByteBlock ByteBlock::allocate(std::size_t capacity, bool prefault) {
  ByteBlock block;
  if (capacity == 0) return block;
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (prefault ? MAP_POPULATE : 0);
  void* memory = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (memory == MAP_FAILED) return block;
  block.data_ = static_cast<char*>(memory);
  block.capacity_ = capacity;
  return block;
}

void ByteBlock::shrink_to_fit() {
  const std::size_t page = page_size();
  const std::size_t kept = (size_ + page - 1) / page * page;
  if (data_ == nullptr || kept >= capacity_) return;
  if (kept == 0) {
    reset();
    return;
  }
  ::munmap(data_ + kept, capacity_ - kept);
  capacity_ = kept;
}

void ByteBlock::reset() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

}  // namespace zelta
