// Reading the entries of an open directory, one at a time.
#pragma once

#include <dirent.h>

#include <cstddef>

#include "platform/features.h"

namespace zelta {

/// Reads the entries of the directory open at a descriptor, from its current
/// offset, in the order the file system hands them out ("." and ".."
/// included). The descriptor stays the caller's. Only one reader per thread
/// may be in use at a time: the batches share one buffer per thread.
class DirReader {
 public:
  explicit DirReader(int fd);
  ~DirReader();
  DirReader(const DirReader&) = delete;
  DirReader& operator=(const DirReader&) = delete;

  /// The next entry's NUL-terminated name, valid until the next call, with
  /// its d_type in `type` (DT_UNKNOWN where the system does not say); nullptr
  /// at the end or on failure.
  const char* next(unsigned char& type);
  /// True once reading has failed.
  bool failed() const { return failed_; }

 private:
  bool failed_ = false;
#if ZELTA_LINUX_CALLS
  int fd_;
  // Position in the thread's batch buffer.
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
#else
  // A stream over a duplicate of the descriptor.
  DIR* stream_ = nullptr;
#endif
};

}  // namespace zelta
