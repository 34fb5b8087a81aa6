// Finding a program the way the exec search does, before any fork.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/result.h"

namespace zelta {

/// The paths an exec search tries for `command`, in order: the word itself
/// when it contains '/', otherwise each directory of `path_value` (":"-
/// separated; an empty element is the current directory) joined with it.
/// `path_value` nullptr means the system default "/bin:/usr/bin". An empty
/// command has no candidates.
std::vector<std::string> program_candidates(std::string_view command, const char* path_value);

/// The first candidate that is an executable regular file. Otherwise the
/// error number the exec search would end with: EACCES when some candidate
/// exists but cannot be executed (a directory, no execute permission),
/// else ENOENT. A command containing '/' resolves to itself unchecked, so the
/// start reports the real error.
Result<std::string, int> resolve_program(std::string_view command,
                                         const std::vector<std::string>& candidates);

}  // namespace zelta
