// Which run (or request) each line from the executor belongs to.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace zelta::client {

/// One executor line, parsed and attributed.
struct RoutedLine {
  enum class Kind {
    /// An event ("recv" included) of the run `run_id`.
    kEvent,
    /// The error reply refusing the run `run_id`.
    kRefusal,
    /// The answer to "hello": its "extensions", or the error of an executor without it.
    kHelloReply,
    /// A reply nobody waits for: the answer to a control line that reached the
    /// executor after its run had ended.
    kStale,
    /// Not a JSON object.
    kMalformed,
  };
  Kind kind = Kind::kMalformed;
  std::string run_id;
  nlohmann::json message;
};

/// Replies carry no run_id, so they are matched to requests by order: an error
/// reply that follows a run's "recv" before anything else of that run refuses it
/// (the executor writes a request's "recv" and its refusal before anything for a
/// later request). Events name their run.
class EventRouter {
 public:
  /// The next reply that answers "hello" is reported as such.
  void expect_hello() { hello_pending_ = true; }
  bool hello_pending() const { return hello_pending_; }

  RoutedLine route(const std::string& line);

 private:
  std::string latest_run_;
  bool latest_open_ = false;
  bool hello_pending_ = false;
};

/// A text member of `message`, or "" when absent or not text.
const std::string& text_field(const nlohmann::json& message, const char* key);

/// The "exit_code" member, or 1 when absent or not an integer.
int exit_code_field(const nlohmann::json& message);

}  // namespace zelta::client
