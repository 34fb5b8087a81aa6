#include "launch/program_search.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelta {

std::vector<std::string> program_candidates(std::string_view command, const char* path_value) {
  std::vector<std::string> candidates;
  if (command.empty()) return candidates;
  if (command.find('/') != std::string_view::npos) {
    candidates.emplace_back(command);
    return candidates;
  }
  std::string_view path = path_value != nullptr ? path_value : "/bin:/usr/bin";
  while (true) {
    std::size_t colon = path.find(':');
    std::string_view dir = path.substr(0, colon);
    std::string candidate;
    if (!dir.empty()) {
      candidate.assign(dir);
      if (candidate.back() != '/') candidate += '/';
    }
    candidate += command;
    candidates.push_back(std::move(candidate));
    if (colon == std::string_view::npos) break;
    path.remove_prefix(colon + 1);
  }
  return candidates;
}

Result<std::string, int> resolve_program(std::string_view command,
                                         const std::vector<std::string>& candidates) {
  if (candidates.empty()) return Failure<int>{ENOENT};
  if (command.find('/') != std::string_view::npos) return candidates.front();
  bool denied = false;
  for (const std::string& candidate : candidates) {
    struct stat st;
    if (::stat(candidate.c_str(), &st) != 0) {
      if (errno == EACCES) denied = true;
      continue;
    }
    if (S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    denied = true;
  }
  return Failure<int>{denied ? EACCES : ENOENT};
}

}  // namespace zelta
