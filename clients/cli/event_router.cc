// Attribution of executor lines to runs and requests.
#include "clients/cli/event_router.h"

namespace zelta::client {

const std::string& text_field(const nlohmann::json& message, const char* key) {
  static const std::string kNone;
  const auto it = message.find(key);
  return it != message.end() && it->is_string() ? it->get_ref<const std::string&>() : kNone;
}

int exit_code_field(const nlohmann::json& message) {
  const auto it = message.find("exit_code");
  return it != message.end() && it->is_number_integer() ? it->get<int>() : 1;
}

RoutedLine EventRouter::route(const std::string& line) {
  RoutedLine routed;
  routed.message = nlohmann::json::parse(line, nullptr, false);
  if (!routed.message.is_object()) return routed;
  const nlohmann::json& message = routed.message;
  const std::string& type = text_field(message, "type");
  if (!type.empty()) {
    routed.kind = RoutedLine::Kind::kEvent;
    routed.run_id = text_field(message, "run_id");
    if (type == "recv") {
      latest_run_ = routed.run_id;
      latest_open_ = true;
    } else if (routed.run_id == latest_run_) {
      latest_open_ = false;  // it was accepted: no refusal can follow
    }
    return routed;
  }
  const std::string& error = text_field(message, "error");
  if (hello_pending_ && (message.contains("extensions") || error == "Unknown: hello")) {
    hello_pending_ = false;
    routed.kind = RoutedLine::Kind::kHelloReply;
    return routed;
  }
  if (message.contains("error") && latest_open_) {
    latest_open_ = false;
    routed.kind = RoutedLine::Kind::kRefusal;
    routed.run_id = latest_run_;
    return routed;
  }
  routed.kind = RoutedLine::Kind::kStale;
  return routed;
}

}  // namespace zelta::client
