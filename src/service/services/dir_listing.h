// The entries of one directory, read in one pass and sorted by name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelta {

/// A reusable listing: read() replaces its contents, keeping its storage, so
/// one listing per walk depth serves a whole tree without new allocations.
class DirListing {
 public:
  struct Entry {
    /// NUL-terminated, so it can be handed to openat/fstatat as it is.
    const char* name;
    std::uint32_t length;
    /// The entry's d_type (DT_DIR, DT_LNK, DT_UNKNOWN, ...).
    unsigned char type;

    std::string_view view() const { return {name, length}; }
  };

  /// Reads every entry of the directory open at `fd` except "." and "..",
  /// from the descriptor's current offset, and sorts them by name byte by
  /// byte. False when the directory cannot be read (the listing is then
  /// empty).
  bool read(int fd);

  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::string names_;
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> offsets_;
};

}  // namespace zelta
