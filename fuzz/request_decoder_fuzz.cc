// Fuzz target: one whole input line through the request decoder, and a
// decoded run request through the tree decoder and the lowering.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "protocol/messages.h"
#include "protocol/request_decoder.h"
#include "protocol/utf8.h"
#include "tree/lower.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  auto decoded = zelta::decode_request(line);
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
    if (form && form->type != "execute" && form->type != "run.pipeline") std::abort();
    if (!form && form.error().empty()) std::abort();
  }
  return 0;
}
