// Fuzz target: the input is the JSON text of a tree; it travels inside a
// "run.ast" line (so the request decoder's nesting limit applies, as on the
// wire) and is then decoded into a syntax tree and lowered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/request_decoder.h"
#include "tree/ast_decoder.h"
#include "tree/lower.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string line = R"({"type":"run.ast","run_id":"f","ast":)";
  line.append(reinterpret_cast<const char*>(data), size);
  line += "}";
  auto decoded = zelta::decode_request(line);
  if (!decoded || !decoded->ast) return 0;

  auto tree = zelta::decode_ast(*decoded->ast);
  auto form = zelta::lower_run_ast(*decoded);
  // Lowering decodes the same value: a tree that does not decode must be
  // refused as invalid, and one that decodes must not be.
  const bool invalid = !form && form.error().rfind("Invalid ast: ", 0) == 0;
  if (tree.ok() == invalid) std::abort();
  if (!tree && form.error() != "Invalid ast: " + tree.error()) std::abort();
  return 0;
}
