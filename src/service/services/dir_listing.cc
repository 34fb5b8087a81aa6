#include "service/services/dir_listing.h"

#include <dirent.h>
#include <errno.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace zelta {
namespace {

// Buffer for one getdents64 call; shared by all listings of the thread since
// each read() consumes it completely before returning.
constexpr std::size_t kBufferSize = 32 * 1024;
alignas(8) thread_local char t_buffer[kBufferSize];

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

bool DirListing::read(int fd) {
  names_.clear();
  entries_.clear();
  offsets_.clear();
  for (;;) {
    const ssize_t n = ::getdents64(fd, t_buffer, kBufferSize);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      names_.clear();
      offsets_.clear();
      return false;
    }
    for (ssize_t pos = 0; pos < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(t_buffer + pos);
      pos += entry->d_reclen;
      if (is_dot_or_dot_dot(entry->d_name)) continue;
      offsets_.push_back(static_cast<std::uint32_t>(names_.size()));
      // The type rides in the byte before each name so the entries can be
      // built after the arena has stopped moving.
      names_.push_back(static_cast<char>(entry->d_type));
      names_.append(entry->d_name, std::strlen(entry->d_name) + 1);
    }
  }
  entries_.reserve(offsets_.size());
  for (std::uint32_t offset : offsets_) {
    const char* name = names_.data() + offset + 1;
    entries_.push_back({name, static_cast<std::uint32_t>(std::strlen(name)),
                        static_cast<unsigned char>(names_[offset])});
  }
  // Names hold no NUL, so strcmp orders them byte by byte (as unsigned char).
  std::sort(entries_.begin(), entries_.end(),
            [](const Entry& a, const Entry& b) { return std::strcmp(a.name, b.name) < 0; });
  return true;
}

}  // namespace zelta
