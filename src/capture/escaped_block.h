// Blocks of captured text kept in the escaped form they are written in.
#pragma once

#include <string_view>

#include "capture/byte_block.h"

namespace zelta {

/// A block of captured text: JSON-escaped (the body of a JSON string, ready
/// to be written as it is) or, when escaping would have grown it too much,
/// the raw bytes.
struct HeldBlock {
  ByteBlock bytes;
  bool escaped = false;
};

/// The JSON-escaped form of `raw` in a new block no larger than a quarter
/// more than `raw` (rounded up to whole pages), or an empty block when it
/// does not fit there (text full of control characters) or no memory is left.
ByteBlock escape_block(std::string_view raw);

/// Escapes `raw` into a new block with room for a quarter more than the raw
/// size and gives the raw block back; if the escaped text does not fit there
/// (text full of control characters) or no memory is left, keeps `raw` as it
/// is. Either way the result needs at most 1.25 times the raw size.
HeldBlock hold_escaped(ByteBlock raw);

}  // namespace zelta
