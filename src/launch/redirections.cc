#include "launch/redirections.h"

#include <errno.h>
#include <sys/stat.h>

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

namespace {

// The device numbers of the character devices whose open never waits, taken
// from their names once.
const std::vector<dev_t>& memory_devices() {
  static const std::vector<dev_t> devices = [] {
    std::vector<dev_t> found;
    for (const char* name :
         {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom"}) {
      struct stat status;
      if (::stat(name, &status) == 0 && S_ISCHR(status.st_mode)) found.push_back(status.st_rdev);
    }
    return found;
  }();
  return devices;
}

}  // namespace

bool redirect_may_block(const RedirectStep& step, int dir_fd) {
  if (step.path == nullptr) return false;
  const std::string_view name = step.path;
  for (std::string_view own : {"/proc/", "/dev/fd/", "/dev/std", "/dev/tty"}) {
    if (name.substr(0, own.size()) == own) return true;
  }
  struct stat status;
  if (::fstatat(dir_fd, step.path, &status, 0) != 0) return errno != ENOENT;
  if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) return false;
  if (!S_ISCHR(status.st_mode)) return true;
  for (dev_t device : memory_devices()) {
    if (device == status.st_rdev) return false;
  }
  return true;
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
