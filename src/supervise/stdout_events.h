// "stdout" events of one run, written straight from the read buffer.
#pragma once

#include <string>
#include <string_view>

namespace zelta {

/// Writes {"data":T,"run_id":R,"stdout":T,"type":"stdout"} lines for one run.
/// The chunk is decoded (into a reused buffer only when it is not valid
/// UTF-8) and escaped piecewise into the output line: no other copy is made.
class StdoutEvents {
 public:
  explicit StdoutEvents(std::string_view run_id);

  /// Writes one event for the raw bytes of one read and flushes it.
  void write(const char* bytes, std::size_t size);

 private:
  std::string middle_;  // `","run_id":"<id>","stdout":"`
  std::string scratch_;
};

}  // namespace zelta
