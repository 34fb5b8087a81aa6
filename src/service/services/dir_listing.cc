#include "service/services/dir_listing.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/dir_reader.h"

namespace zelta {
namespace {

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

bool DirListing::read(int fd) {
  names_.clear();
  entries_.clear();
  offsets_.clear();
  // Each read() consumes its reader whole, so the listings of a thread never
  // hold two readers at once.
  DirReader reader(fd);
  unsigned char type = 0;
  while (const char* name = reader.next(type)) {
    if (is_dot_or_dot_dot(name)) continue;
    offsets_.push_back(static_cast<std::uint32_t>(names_.size()));
    // The type rides in the byte before each name so the entries can be
    // built after the arena has stopped moving.
    names_.push_back(static_cast<char>(type));
    names_.append(name, std::strlen(name) + 1);
  }
  if (reader.failed()) {
    names_.clear();
    offsets_.clear();
    return false;
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
