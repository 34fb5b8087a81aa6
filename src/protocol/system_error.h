// The one textual form of an operating-system error used in every message.
#pragma once

#include <string>

namespace zelta {

/// "No such file or directory (os error 2)": the system's description of
/// `error_number`, then " (os error N)".
std::string system_error_text(int error_number);

/// The description used wherever a NUL byte makes a text unusable as a path,
/// argument or environment entry.
inline constexpr const char* kNulByteError = "nul byte found in provided data";

}  // namespace zelta
