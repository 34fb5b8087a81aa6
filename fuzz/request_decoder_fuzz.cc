// Fuzz target: one whole input line through the request decoder (checked
// against the same decoding driven by the JSON library's parser), and a
// decoded run request through the tree decoder and the lowering.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "loop/keystroke_line.h"
#include "protocol/messages.h"
#include "protocol/request_decoder.h"
#include "protocol/utf8.h"
#include "tree/lower.h"

namespace {

// True when both decodings accepted the line with the same content, or both
// refused it.
bool same(const zelta::Result<zelta::Request>& a, const zelta::Result<zelta::Request>& b) {
  if (a.ok() != b.ok()) return false;
  if (!a.ok()) return true;
  const zelta::Request& x = a.value();
  const zelta::Request& y = b.value();
  if ((x.ast == nullptr) != (y.ast == nullptr)) return false;
  if (x.ast && x.ast->dump() != y.ast->dump()) return false;
  return x.type == y.type && x.run_id == y.run_id && x.command == y.command && x.args == y.args &&
         x.redirects == y.redirects && x.cwd == y.cwd && x.env == y.env && x.signal == y.signal &&
         x.timeout_ms == y.timeout_ms && x.path == y.path && x.patterns == y.patterns &&
         x.rows == y.rows && x.cols == y.cols && x.data == y.data && x.direction == y.direction &&
         x.commands == y.commands && x.operators == y.operators;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  auto decoded = zelta::decode_request(line);
  if (!same(decoded, zelta::decode_request_reference(line))) std::abort();
  // A keystroke line recognised on the fast path means what the decoder says.
  zelta::KeystrokeLine keys;
  if (zelta::match_keystroke_line(line, keys) &&
      (!decoded || decoded->type != "stdin.write" || decoded->run_id != keys.run_id ||
       decoded->data != keys.data || decoded->base64 || !zelta::is_valid_utf8(line))) {
    std::abort();
  }
  // The service loop only decodes valid UTF-8 lines; for those, a line the
  // decoder accepts must be well-formed JSON as well.
  if (!decoded || !zelta::is_valid_utf8(line)) return 0;
  if (!nlohmann::json::accept(line)) std::abort();

  const zelta::Request& request = decoded.value();
  // The "Unknown: " reply carries the type as received; it must survive the
  // reply encoder byte for byte.
  const std::string reply = zelta::encode_reply(zelta::error_reply("Unknown: " + request.type));
  if (nlohmann::json::parse(reply).at("error") != "Unknown: " + request.type) std::abort();

  if (request.type == "run.ast") {
    auto form = zelta::lower_run_ast(request);
    // A command kind runs exactly one command; a job never runs just one.
    using zelta::LaunchKind;
    const bool single = form && (form->kind == LaunchKind::kTerminalCommand ||
                                 form->kind == LaunchKind::kFrontEndTerminalCommand);
    if (single && form->commands.size() != 1) std::abort();
    if (form && form->kind == LaunchKind::kJob && form->commands.size() == 1) std::abort();
    if (!form && form.error().empty()) std::abort();
  }
  return 0;
}
