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
///
/// The line must be one JSON object (surrounded by JSON whitespace only) with
/// a string "type". Known keys must have their types and ranges, may not be
/// repeated, and null leaves them absent; unknown keys are skipped whatever
/// their value. A redirection is an object {fd?, kind, file} or an array
/// [fd, kind, file]; a pipeline command is an object {command, args?} or an
/// array [command, args?]. "ast" is kept as a raw tree, unchecked. A top-level
/// array is refused. Never throws.
Result<Request> decode_request(std::string_view line);

/// decode_request with the general-purpose JSON library's parser in place of
/// the built-in reader: the reference the reader is checked against in tests
/// and fuzzing. Accepts and decodes exactly the same lines.
Result<Request> decode_request_reference(std::string_view line);

}  // namespace zelta
