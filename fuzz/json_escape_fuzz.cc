// Fuzz target: escaping a string and parsing the result with the JSON library
// gives the input back; pieces written through a small sink give the same
// bytes as one write.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "protocol/json_escape.h"
#include "protocol/utf8.h"

namespace {

// Sink that checks the escaper never emits a raw control byte.
struct CheckingSink {
  std::string out;
  void append(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      if (static_cast<unsigned char>(data[i]) < 0x20) std::abort();
    }
    out.append(data, size);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string whole;
  zelta::append_json_string(whole, text);

  // The same text split at every eighth byte (cutting escape runs and the
  // eight-byte scan of plain bytes) is escaped identically.
  CheckingSink pieces;
  pieces.append("\"", 1);
  for (std::size_t at = 0; at < text.size(); at += 8) {
    zelta::write_json_string_body(pieces, text.substr(at, 8));
  }
  pieces.append("\"", 1);
  if (pieces.out != whole) std::abort();

  if (!zelta::is_valid_utf8(text)) return 0;
  const auto parsed = nlohmann::json::parse(whole, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_string() || parsed.get<std::string>() != text) std::abort();
  // Nothing is escaped beyond what JSON requires: the library's own compact
  // output is the same text.
  if (parsed.dump() != whole) std::abort();
  return 0;
}
