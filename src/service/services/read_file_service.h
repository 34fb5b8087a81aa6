// The "read_file" request.
#pragma once

#include <cstddef>
#include <string>

#include "protocol/messages.h"
#include "protocol/request.h"
#include "protocol/result.h"

namespace zelta {

/// Bounds for reading a file that is not a regular file (a FIFO, a device):
/// such a file may never end, or never deliver anything.
struct StreamLimits {
  /// Most bytes read; a longer stream fails with EFBIG's text.
  std::size_t max_bytes;
  /// Longest wait for the next byte or the end; EAGAIN's text after it.
  int idle_ms;
  /// Longest time for the whole read; EAGAIN's text after it.
  int total_ms;
};

/// The bounds of "read_file": 64 MiB, 2 s without data, 10 s in all.
inline constexpr StreamLimits kStreamLimits{64u << 20, 2000, 10000};

/// Serves a "read_file" request with exactly one reply: "Missing path"
/// without `path`, "Read error: " + description when the file cannot be
/// read as UTF-8 text, else the whole text as `content`.
Reply read_file_service(const Request& request);

/// The whole content of the file at `path` (relative to the working
/// directory), which must be valid UTF-8. The error is the description that
/// follows "Read error: ". The content is read straight into its final
/// storage, sized from the file's size when it has one. A regular file has
/// no size limit. Nothing ever blocks: the file is opened without waiting
/// (a FIFO without a writer opens at once), and a file that is not regular
/// is read within `limits`; one that is the same file as the executor's
/// descriptor 0, 1 or 2 (other than the null device) is refused.
Result<std::string> read_text_file(const std::string& path,
                                   const StreamLimits& limits = kStreamLimits);

}  // namespace zelta
