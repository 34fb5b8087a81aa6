// Turns the text of one input line into a Request.
#pragma once

#include <string_view>

#include "protocol/request.h"
#include "protocol/result.h"

namespace zelta {

/// Deepest nesting of arrays and objects accepted anywhere in a line; a line
/// nested deeper fails to decode.
inline constexpr int kMaxNestingDepth = 128;

/// Decodes one line (without its line feed). The error text is for tests and
/// diagnostics only: every failure is answered "Parse error" on the wire.
Result<Request> decode_request(std::string_view line);

}  // namespace zelta
