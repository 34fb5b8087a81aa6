// UTF-8 validation and lossy decoding of raw bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zelta {

/// True when `bytes` is well-formed UTF-8 as a whole (no surrogates, no
/// overlong forms, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

/// Appends `bytes` to `out` as text: well-formed sequences pass unchanged and
/// every maximal ill-formed subpart becomes one U+FFFD, so a truncated
/// sequence yields one replacement and each stray continuation byte one.
void append_utf8_lossy(std::string& out, std::string_view bytes);

/// `bytes` decoded as by append_utf8_lossy.
std::string utf8_lossy(std::string_view bytes);

/// Size of `bytes` decoded as by append_utf8_lossy.
std::size_t utf8_lossy_size(std::string_view bytes);
/// Writes `bytes` decoded as by append_utf8_lossy at `out`, which has room
/// for utf8_lossy_size(bytes) bytes; returns the end of what was written.
char* write_utf8_lossy(std::string_view bytes, char* out);

}  // namespace zelta
