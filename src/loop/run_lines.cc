#include "supervise/run_input.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/hot_path.h"
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

// Finds the string value of the top-level "type" key of a JSON object line
// without building the document, so a huge or deeply nested line costs no
// more memory than its reading.
class TopLevelType final : public nlohmann::json_sax<nlohmann::json> {
 public:
  std::optional<std::string> type;

  bool null() override { return value(); }
  bool boolean(bool) override { return value(); }
  bool number_integer(number_integer_t) override { return value(); }
  bool number_unsigned(number_unsigned_t) override { return value(); }
  bool number_float(number_float_t, const string_t&) override { return value(); }
  bool string(string_t& text) override {
    if (depth_ == 1 && at_type_) type = std::move(text);
    return value();
  }
  bool binary(binary_t&) override { return value(); }
  bool start_object(std::size_t) override {
    at_type_ = false;
    ++depth_;
    return true;
  }
  bool key(string_t& name) override {
    at_type_ = depth_ == 1 && name == "type";
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    at_type_ = false;
    // A top-level array is no request at all.
    return depth_++ > 0;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool value() {
    at_type_ = false;
    return true;
  }
  int depth_ = 0;
  bool at_type_ = false;
};

// True when `line` is a JSON object whose "type" names a control request,
// though it did not decode as one (a value out of range or of the wrong
// type): such a line was meant for a run and is dropped like any other
// control request that cannot be carried out, rather than answered later.
bool is_undecodable_control_request(std::string_view line) {
  try {
    TopLevelType finder;
    const bool parsed = nlohmann::json::sax_parse(line.begin(), line.end(), &finder,
                                                  nlohmann::json::input_format_t::json, true);
    return parsed && finder.type && is_control_type(*finder.type);
  } catch (...) {
    return false;  // out of memory: kept, and answered after the run
  }
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
  if (!decoded) {
    return is_undecodable_control_request(trim_white_space(line)) ? RunLineUse::kDrop
                                                                  : RunLineUse::kKeep;
  }
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

ZELTA_HOT std::size_t next_line_end(const std::string& buffer, std::size_t from) {
  if (from >= buffer.size()) return 0;
  const void* found = std::memchr(buffer.data() + from, '\n', buffer.size() - from);
  if (found == nullptr) return 0;
  return static_cast<std::size_t>(static_cast<const char*>(found) - buffer.data()) + 1;
}

}  // namespace zelta
