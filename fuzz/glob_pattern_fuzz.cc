// Fuzz target: the glob pattern compiler and the matcher of one name. The
// first input line is the pattern, every further line a directory entry name.
// Over a small ASCII alphabet the matcher must agree with the C library's
// fnmatch, whose rules coincide with the pattern rules there.
#include <fnmatch.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/utf8.h"
#include "service/services/glob_pattern.h"

namespace {

bool within(std::string_view text, std::string_view alphabet) {
  return text.find_first_not_of(alphabet) == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string_view pattern = input.substr(0, newline);
  std::vector<std::string_view> names;
  if (newline != std::string_view::npos) {
    std::string_view rest = input.substr(newline + 1);
    while (!rest.empty()) {
      const std::size_t end = std::min(rest.find('\n'), rest.size());
      names.push_back(rest.substr(0, end));
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
  }

  auto compiled = zelta::compile_glob(pattern);
  if (!compiled) {
    // Patterns arrive as JSON text, so they are valid UTF-8; only those can
    // fail for a reason of their own.
    return 0;
  }
  for (const zelta::GlobComponent& component : compiled->components) {
    using Kind = zelta::GlobComponent::Kind;
    if (component.kind() == Kind::kLiteral && !component.matches(component.text())) std::abort();
    if (component.kind() == Kind::kRecursive && component.matches("x")) std::abort();
    for (std::string_view name : names) {
      const bool matched = component.matches(name);
      if (matched && component.kind() == Kind::kWildcard && !zelta::is_valid_utf8(name)) {
        std::abort();
      }
      constexpr std::string_view kPatternAlphabet = "abc*?[]!";
      constexpr std::string_view kNameAlphabet = "abc*?[]!";
      if (component.kind() != Kind::kWildcard || !within(component.text(), kPatternAlphabet) ||
          !within(name, kNameAlphabet)) {
        continue;
      }
      const std::string p(component.text()), n(name);
      if (matched != (::fnmatch(p.c_str(), n.c_str(), 0) == 0)) std::abort();
    }
  }
  return 0;
}
