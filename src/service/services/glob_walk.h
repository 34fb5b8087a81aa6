// Enumeration of the paths that a compiled glob pattern matches.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "service/services/glob_pattern.h"

namespace zelta {

/// Work done by one walk (tests).
struct GlobWalkStats {
  /// Directory listings made; a directory is listed at most once for each
  /// component of the pattern.
  std::size_t listed_directories = 0;
};

/// Appends to `out` every existing path that `pattern` matches, in walk
/// order, each converted to text (bytes that are not UTF-8 become U+FFFD).
///
/// - Paths are reported as written: the root, then the components joined by
///   "/", with matched names in place of wildcard components and nothing
///   normalised. A relative pattern is resolved against the working
///   directory and reported relative.
/// - Literal components are looked up (lstat semantics: a dangling link
///   exists), never listed. A wildcard component lists the directory; "."
///   and ".." are candidates, in that order and before the listed entries,
///   only when the component begins with a literal ".".
/// - Entries are visited in byte order of their names, depth first: a
///   directory is followed by what is found beneath it before its next
///   sibling. After a "**" the whole walk is the sorted pre-order of the tree.
/// - "**" descends into real directories only, never through a symbolic
///   link, so link cycles cannot make the walk loop. It descends regardless
///   of whether a directory's name is UTF-8. A trailing "**" reports every
///   such directory below its start, not the start itself.
/// - With a trailing "/" only directories are reported (a symbolic link to
///   a directory counts), without the trailing "/".
/// - Directories that cannot be opened or listed contribute nothing.
/// - Each path is reported at most once, where the walk first finds it, even
///   when several "**" could match it in more than one way; a directory is
///   never walked twice for the same component.
void walk_glob(const GlobPattern& pattern, std::vector<std::string>& out,
               GlobWalkStats* stats = nullptr);

}  // namespace zelta
