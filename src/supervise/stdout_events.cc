#include "supervise/stdout_events.h"

#include "protocol/json_escape.h"
#include "protocol/output.h"

namespace zelta {
namespace {

constexpr std::string_view kHead = "{\"data\":\"";

}  // namespace

StdoutEvents::StdoutEvents(std::string_view run_id, std::string_view stream) {
  middle_ = "\",\"run_id\":";
  append_json_string(middle_, run_id);
  middle_ += ",\"";
  middle_ += stream;
  middle_ += "\":\"";
  tail_ = "\",\"type\":\"";
  tail_ += stream;
  tail_ += "\"}";
}

void StdoutEvents::write(const char* bytes, std::size_t size) {
  write_text(decoder_.decode(std::string_view(bytes, size)));
}

void StdoutEvents::finish() { write_text({decoder_.finish(), {}}); }

void StdoutEvents::write_text(ChunkDecoder::Text text) {
  if (text.empty()) return;
  {
    OutputLine line;
    line.append(kHead.data(), kHead.size());
    write_json_string_body(line, text.head);
    write_json_string_body(line, text.body);
    line.append(middle_.data(), middle_.size());
    write_json_string_body(line, text.head);
    write_json_string_body(line, text.body);
    line.append(tail_.data(), tail_.size());
  }
  flush_stdout();
}

}  // namespace zelta
