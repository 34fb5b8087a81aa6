// Terminal output bytes to event text, and wait statuses to exit codes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zelta {

/// The bytes of one read as text, on their own: well-formed UTF-8 passes
/// unchanged (the result is then a view of `bytes`), every maximal ill-formed
/// subpart becomes U+FFFD (the result then lives in `scratch`, which is
/// reused). Control bytes, NUL included, pass unchanged.
std::string_view decode_chunk(std::string_view bytes, std::string& scratch);

/// Length (0 to 3) of the tail of `bytes` that is the start of a well-formed
/// sequence cut off by the end of `bytes`: what may still become a character
/// when the next bytes arrive.
std::size_t incomplete_tail(std::string_view bytes);

/// Decodes the successive reads of one output stream, so that a character
/// whose bytes fall on both sides of a read boundary arrives whole. The
/// incomplete tail of a read (at most 3 bytes) is held back and decoded with
/// the next read; everything else decodes as decode_chunk does. The texts of
/// all reads followed by finish() equal the lossy decoding of the whole
/// stream.
class ChunkDecoder {
 public:
  /// The text of one read, in two pieces to be written one after the other:
  /// `head` completes (or, when it cannot be completed, replaces by U+FFFD)
  /// the bytes held back from earlier reads; `body` is the rest of the read.
  /// Both are views valid until the next call. Both are empty when the read
  /// held nothing but the start of a character.
  struct Text {
    std::string_view head;
    std::string_view body;
    bool empty() const { return head.empty() && body.empty(); }
  };

  Text decode(std::string_view bytes);

  /// At the end of the stream: U+FFFD when bytes are still held back (a
  /// truncated last character), else empty. Nothing is held afterwards.
  std::string_view finish();

  /// True while bytes are held back.
  bool holding() const { return held_size_ > 0; }

 private:
  std::string_view decode_body(std::string_view bytes);

  char held_[4] = {};
  std::size_t held_size_ = 0;
  char head_[4] = {};
  std::string scratch_;
};

}  // namespace zelta
