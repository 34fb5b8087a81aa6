// Unicode white space around a request line.
#pragma once

#include <string_view>

namespace zelta {

/// `text` without leading and trailing characters of the Unicode White_Space
/// property. `text` must be valid UTF-8.
std::string_view trim_white_space(std::string_view text);

}  // namespace zelta
