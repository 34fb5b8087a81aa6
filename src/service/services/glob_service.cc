#include "service/services/glob_service.h"

#include "service/services/glob_pattern.h"
#include "service/services/glob_walk.h"

namespace zelta {
namespace {

constexpr std::string_view kDefaultBase = "/tmp";

}  // namespace

std::string join_glob_base(std::string_view base, std::string_view pattern) {
  if (!pattern.empty() && pattern.front() == '/') return std::string(pattern);
  std::string joined;
  joined.reserve(base.size() + 1 + pattern.size());
  joined.append(base);
  if (!base.empty() && base.back() != '/') joined += '/';
  joined.append(pattern);
  return joined;
}

Reply glob_service(const Request& request) {
  if (!request.patterns) return error_reply("Missing patterns");
  const std::string_view base = request.cwd ? std::string_view(*request.cwd) : kDefaultBase;
  std::vector<std::string> matches;
  for (const std::string& pattern : *request.patterns) {
    auto compiled = compile_glob(join_glob_base(base, pattern));
    if (!compiled) continue;
    walk_glob(compiled.value(), matches);
  }
  Reply reply;
  reply.glob_matches = std::move(matches);
  return reply;
}

}  // namespace zelta
