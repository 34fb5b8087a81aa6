// Building and encoding request lines.
#include "clients/cli/requests.h"

#include <utility>

namespace zelta::client {
namespace {

// Length of the UTF-8 sequence that `lead` starts, or 0 when it starts none.
std::size_t sequence_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

Json run_ast_request(const std::string& run_id, Json tree, const std::string& cwd,
                     std::optional<WindowSize> size, PipelineMode pipeline) {
  Json request = Json::object();
  request["type"] = "run.ast";
  request["run_id"] = run_id;
  if (!cwd.empty()) request["cwd"] = cwd;
  if (size) {
    request["rows"] = size->rows;
    request["cols"] = size->cols;
  }
  if (pipeline == PipelineMode::kStream) request["stream"] = true;
  if (pipeline == PipelineMode::kTerminal) request["terminal"] = true;
  request["ast"] = std::move(tree);
  return request;
}

Json concurrent_hello_request() {
  Json request = Json::object();
  request["type"] = "hello";
  request["extensions"] = Json::array({"concurrent"});
  return request;
}

Json stdin_write_request(const std::string& run_id, std::string_view data) {
  Json request = Json::object();
  request["type"] = "stdin.write";
  request["run_id"] = run_id;
  request["data"] = std::string(data);
  return request;
}

Json run_signal_request(const std::string& run_id, std::string_view signal) {
  Json request = Json::object();
  request["type"] = "run.signal";
  request["run_id"] = run_id;
  request["signal"] = std::string(signal);
  return request;
}

Json run_resize_request(const std::string& run_id, WindowSize size) {
  Json request = Json::object();
  request["type"] = "run.resize";
  request["run_id"] = run_id;
  request["rows"] = size.rows;
  request["cols"] = size.cols;
  return request;
}

std::string encode_line(const Json& message) {
  return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string take_sendable(std::string& pending) {
  // Look back at most three bytes for the lead byte of an unfinished sequence.
  std::size_t keep_from = pending.size();
  for (std::size_t back = 1; back <= 3 && back <= pending.size(); ++back) {
    const auto byte = static_cast<unsigned char>(pending[pending.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation byte: keep looking
    const std::size_t length = sequence_length(byte);
    if (length > back) keep_from = pending.size() - back;
    break;
  }
  std::string ready = pending.substr(0, keep_from);
  pending.erase(0, keep_from);
  return ready;
}

}  // namespace zelta::client
