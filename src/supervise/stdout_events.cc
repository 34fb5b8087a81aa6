#include "supervise/stdout_events.h"

#include "protocol/json_escape.h"
#include "protocol/output.h"

namespace zelta {
namespace {

constexpr std::string_view kHead = "{\"data\":\"";
constexpr std::string_view kTail = "\",\"type\":\"stdout\"}";

}  // namespace

StdoutEvents::StdoutEvents(std::string_view run_id) {
  middle_ = "\",\"run_id\":";
  append_json_string(middle_, run_id);
  middle_ += ",\"stdout\":\"";
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
    line.append(kTail.data(), kTail.size());
  }
  flush_stdout();
}

}  // namespace zelta
