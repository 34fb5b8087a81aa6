#include "supervise/stdout_events.h"

#include "platform/hot_path.h"
#include "protocol/base64.h"
#include "protocol/json_escape.h"
#include "protocol/output.h"

namespace zelta {
namespace {

constexpr std::string_view kHead = "{\"data\":\"";
constexpr std::string_view kRawHead = "{\"base64\":\"";

ZELTA_HOT void append_text(OutputLine& line, ChunkDecoder::Text text) {
  if (!text.head.empty()) write_json_string_body(line, text.head);
  write_json_string_body(line, text.body);
}

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

ZELTA_HOT void StdoutEvents::write(const char* bytes, std::size_t size) {
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
  OutputLine line(true);
  line.append(kRawHead.data(), kRawHead.size());
  write_base64(line, std::string_view(bytes, size));
  line.append(middle_.data(), middle_.size());
}

ZELTA_HOT void StdoutEvents::write_text(ChunkDecoder::Text text) {
  if (text.empty()) return;
  // Goes out at once, held output or not: the front end is waiting for it.
  OutputLine line(true);
  line.append(kHead.data(), kHead.size());
  append_text(line, text);
  line.append(middle_.data(), middle_.size());
  append_text(line, text);
  line.append(tail_.data(), tail_.size());
}

}  // namespace zelta
