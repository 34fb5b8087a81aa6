// "stdout" events of one run, written straight from the read buffer.
#pragma once

#include <string>
#include <string_view>

#include "supervise/chunk_decoder.h"

namespace zelta {

/// Writes {"data":T,"run_id":R,"stdout":T,"type":"stdout"} lines for one run
/// (or the same with "stderr" for a run's standard error).
/// Successive reads are decoded as one stream (a character split between two
/// reads arrives whole, in the event of the read that completes it) and
/// escaped piecewise into the output line: no other copy is made.
///
/// For a run with raw output, the lines are {"base64":B,"run_id":R,"type":
/// "stdout"} instead, B the exact bytes of one read: nothing is repaired or
/// held back.
class StdoutEvents {
 public:
  /// `stream` is "stdout" or "stderr": the key and type of the text events
  /// (raw events are always "stdout").
  explicit StdoutEvents(std::string_view run_id, bool raw = false,
                        std::string_view stream = "stdout");

  /// Writes one event for the raw bytes of one read and flushes it; none when
  /// the read holds nothing but the start of a character.
  void write(const char* bytes, std::size_t size);

  /// At the end of the run: one last event with U+FFFD when the stream ended
  /// inside a character, else nothing.
  void finish();

  /// True while the start of a character is held back for the next read.
  bool holding() const { return decoder_.holding(); }

 private:
  void write_text(ChunkDecoder::Text text);
  void write_raw(const char* bytes, std::size_t size);

  bool raw_;
  std::string middle_;  // `","run_id":"<id>","stdout":"`
  std::string tail_;    // `","type":"stdout"}`
  ChunkDecoder decoder_;
};

}  // namespace zelta
