// Terminal output bytes to event text, and wait statuses to exit codes.
#pragma once

#include <string>
#include <string_view>

namespace zelta {

/// The bytes of one read as text, on their own: well-formed UTF-8 passes
/// unchanged (the result is then a view of `bytes`), every maximal ill-formed
/// subpart becomes U+FFFD (the result then lives in `scratch`, which is
/// reused). Control bytes, NUL included, pass unchanged.
std::string_view decode_chunk(std::string_view bytes, std::string& scratch);

/// Exit code of a terminal child from its raw wait status: the exit status
/// byte for a normal exit, 128 + n after signal n.
int pty_exit_code(int wait_status);

}  // namespace zelta
