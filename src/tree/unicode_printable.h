// Printability of Unicode scalar values, for the string descriptions of messages.
#pragma once

namespace zelta {

/// False for control, format, surrogate, private-use, unassigned and
/// separator characters (space excepted); true for everything else. Values
/// above U+10FFFF count as not printable.
bool is_printable_scalar(char32_t c);

}  // namespace zelta
