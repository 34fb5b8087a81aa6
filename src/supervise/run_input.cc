#include "supervise/run_input.h"

#include <cstring>

#include "protocol/request_decoder.h"
#include "protocol/utf8.h"
#include "supervise/control.h"

namespace zelta {
namespace {

// Only the service thread reads standard input, runs included, so only it
// touches this.
std::string& carried() {
  static std::string bytes;
  return bytes;
}

}  // namespace

bool is_control_type(std::string_view type) {
  return type == "stdin.write" || type == "run.signal" || type == "stream.flush" ||
         type == "run.resize" || type == "run.pause" || type == "run.resume" ||
         type == "run.foreground";
}

RunLineUse classify_run_line(std::string_view line, std::string_view run_id,
                             std::optional<Request>& request) {
  if (!is_valid_utf8(line)) return RunLineUse::kKeep;
  auto decoded = decode_request(trim_white_space(line));
  if (!decoded) return RunLineUse::kKeep;
  if (!is_control_type(decoded->type)) return RunLineUse::kKeep;
  if (decoded->run_id.value_or("") != run_id) return RunLineUse::kDrop;
  request.emplace(std::move(decoded).value());
  return RunLineUse::kDispatch;
}

void carry_input(std::string_view bytes) { carried().append(bytes); }

std::string take_carried_input() {
  std::string bytes;
  bytes.swap(carried());
  return bytes;
}

std::size_t next_line_end(const std::string& buffer, std::size_t from) {
  if (from >= buffer.size()) return 0;
  const void* found = std::memchr(buffer.data() + from, '\n', buffer.size() - from);
  if (found == nullptr) return 0;
  return static_cast<std::size_t>(static_cast<const char*>(found) - buffer.data()) + 1;
}

}  // namespace zelta
