#include "platform/dir_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/features.h"

namespace zelta {

#if ZELTA_LINUX_CALLS

namespace {

// One getdents64 batch; shared by the readers of a thread, one at a time.
constexpr std::size_t kBatchSize = 32 * 1024;
alignas(8) thread_local char t_batch[kBatchSize];

}  // namespace

DirReader::DirReader(int fd) : fd_(fd) {}

DirReader::~DirReader() = default;

const char* DirReader::next(unsigned char& type) {
  if (failed_) return nullptr;
  if (position_ == filled_) {
    ssize_t n;
    do {
      n = ::getdents64(fd_, t_batch, kBatchSize);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      failed_ = n < 0;
      position_ = filled_ = 0;
      return nullptr;
    }
    position_ = 0;
    filled_ = static_cast<std::size_t>(n);
  }
  const auto* entry = reinterpret_cast<const struct dirent64*>(t_batch + position_);
  position_ += entry->d_reclen;
  type = entry->d_type;
  return entry->d_name;
}

#else

DirReader::DirReader(int fd) {
  // fdopendir takes over the descriptor it is given; the duplicate shares
  // the caller's offset, so reading still starts where the caller left it.
  const int duplicate = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (duplicate >= 0) stream_ = ::fdopendir(duplicate);
  if (stream_ == nullptr) {
    if (duplicate >= 0) ::close(duplicate);
    failed_ = true;
  }
}

DirReader::~DirReader() {
  if (stream_ != nullptr) ::closedir(stream_);
}

const char* DirReader::next(unsigned char& type) {
  if (failed_) return nullptr;
  errno = 0;
  const struct dirent* entry = ::readdir(stream_);
  if (entry == nullptr) {
    failed_ = errno != 0;
    return nullptr;
  }
#ifdef DT_UNKNOWN
  type = entry->d_type;
#else
  type = 0;
#endif
  return entry->d_name;
}

#endif

}  // namespace zelta
