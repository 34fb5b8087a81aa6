#include "loop/run_lines.h"

#include <nlohmann/json.hpp>

#include "protocol/request_decoder.h"
#include "protocol/utf8.h"
#include "protocol/white_space.h"

namespace zelta {
namespace {

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

}  // namespace

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

}  // namespace zelta
