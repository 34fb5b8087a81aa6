// The "read_file" request.
#pragma once

#include <string>

#include "protocol/messages.h"
#include "protocol/request.h"
#include "protocol/result.h"

namespace zelta {

/// Serves a "read_file" request with exactly one reply: "Missing path"
/// without `path`, "Read error: " + description when the file cannot be
/// read as UTF-8 text, else the whole text as `content`.
Reply read_file_service(const Request& request);

/// The whole content of the file at `path` (relative to the working
/// directory), which must be valid UTF-8. The error is the description that
/// follows "Read error: ". The content is read straight into its final
/// storage, sized from the file's size when it has one; no size limit.
Result<std::string> read_text_file(const std::string& path);

}  // namespace zelta
