// Here-document text as an already deleted temporary file.
#pragma once

#include <fcntl.h>

#include <string>
#include <string_view>

#include "platform/unique_fd.h"
#include "protocol/result.h"

namespace zelta {

/// Number of random names tried before the creation gives up.
inline constexpr int kTextFileAttempts = 65536;

/// Creates ".tmpXXXXXX" (six random letters or digits) in `directory`
/// (resolved against `base_dir_fd` when relative; an empty name is `base_dir_fd`
/// itself) exclusively with mode 0600, writes `text` (a write error fails with
/// its description, such as a full file system's), reopens the path read-write and checks that the
/// reopened file is the one created. The path is deleted in every outcome once created. Returns the
/// reopened close-on-exec descriptor, positioned at offset 0.
Result<UniqueFd> create_text_file(std::string_view text, std::string_view directory,
                                  int base_dir_fd = AT_FDCWD);

/// Six characters drawn from the 62 ASCII letters and digits by the system's
/// random source.
std::string random_text_file_suffix();

}  // namespace zelta
