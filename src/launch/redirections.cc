#include "launch/redirections.h"

#include <errno.h>

#include <string_view>

#include "launch/text_file.h"
#include "protocol/system_error.h"

namespace zelta {

std::optional<StdStream> redirect_target(const Redirect& redirect) {
  switch (redirect.kind) {
    case RedirectKind::kInput:
      if (redirect.fd == 1) return StdStream::kOutput;
      if (redirect.fd == 2) return StdStream::kError;
      return StdStream::kInput;
    case RedirectKind::kOutput:
    case RedirectKind::kAppend:
      if (redirect.fd == 0) return StdStream::kInput;
      if (redirect.fd == 2) return StdStream::kError;
      return StdStream::kOutput;
    case RedirectKind::kHereDoc:
    case RedirectKind::kHereDocDash:
    case RedirectKind::kHereString:
      return StdStream::kInput;
    case RedirectKind::kInputDup:
    case RedirectKind::kOutputDup:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<int> redirect_open_flags(RedirectKind kind) {
  switch (kind) {
    case RedirectKind::kInput:
      return O_RDONLY;
    case RedirectKind::kOutput:
      return O_WRONLY | O_CREAT | O_TRUNC;
    case RedirectKind::kAppend:
      return O_WRONLY | O_CREAT | O_APPEND;
    default:
      return std::nullopt;
  }
}

std::vector<RedirectStep> plan_redirections(const std::vector<Redirect>& redirects,
                                            const RedirectBase& base) {
  std::vector<RedirectStep> steps;
  steps.reserve(redirects.size());
  for (const Redirect& redirect : redirects) {
    auto target = redirect_target(redirect);
    if (!target) continue;
    RedirectStep step;
    step.target = static_cast<int>(*target);
    if (auto flags = redirect_open_flags(redirect.kind)) {
      if (redirect.file.find('\0') != std::string::npos) {
        step.failure = redirect.file + ": " + kNulByteError + "\n";
      } else {
        step.path = redirect.file.c_str();
        step.flags = *flags;
      }
    } else {
      const bool add_newline = redirect.kind == RedirectKind::kHereString;
      auto file = create_text_file(add_newline ? redirect.file + "\n" : redirect.file,
                                   base.temp_dir, base.dir_fd);
      if (file) {
        step.fd = std::move(file).value();
      } else {
        step.failure = base.temp_dir + ": " + file.error() + "\n";
      }
    }
    steps.push_back(std::move(step));
  }
  return steps;
}

}  // namespace zelta
