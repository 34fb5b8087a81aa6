#include "supervise/stdout_events.h"

#include "protocol/base64.h"
#include "protocol/json_escape.h"
#include "protocol/output.h"

namespace zelta {
namespace {

constexpr std::string_view kHead = "{\"data\":\"";
constexpr std::string_view kRawHead = "{\"base64\":\"";

}  // namespace

StdoutEvents::StdoutEvents(std::string_view run_id, bool raw, std::string_view stream) : raw_(raw) {
  middle_ = "\",\"run_id\":";
  append_json_string(middle_, run_id);
  if (raw) {
    middle_ += ",\"type\":\"stdout\"}";
  } else {
    middle_ += ",\"";
    middle_ += stream;
    middle_ += "\":\"";
  }
  tail_ = "\",\"type\":\"";
  tail_ += stream;
  tail_ += "\"}";
}

void StdoutEvents::write(const char* bytes, std::size_t size) {
  if (raw_) {
    write_raw(bytes, size);
  } else {
    write_text(decoder_.decode(std::string_view(bytes, size)));
  }
}

void StdoutEvents::finish() {
  if (!raw_) write_text({decoder_.finish(), {}});
}

void StdoutEvents::write_raw(const char* bytes, std::size_t size) {
  if (size == 0) return;
  {
    OutputLine line;
    line.append(kRawHead.data(), kRawHead.size());
    write_base64(line, std::string_view(bytes, size));
    line.append(middle_.data(), middle_.size());
  }
  flush_stdout();
}

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
