#include "launch/redirections.h"

#include <errno.h>

#include "launch/text_file.h"
#include "protocol/system_error.h"

namespace zelta {
namespace {

// Opens a path without blocking: a FIFO with no writer yet must not stall the
// executor, which opens redirect files before it forks. The flag is cleared
// afterwards so the program sees an ordinary blocking descriptor.
Result<UniqueFd> open_path(const Redirect& redirect, const RedirectBase& base, int flags) {
  if (redirect.file.find('\0') != std::string::npos) return fail(kNulByteError);
  UniqueFd fd(::openat(base.dir_fd, redirect.file.c_str(),
                       flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
  if (!fd) return fail(system_error_text(errno));
  int status = ::fcntl(fd.get(), F_GETFL);
  if (status != -1) ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK);
  return fd;
}

}  // namespace

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

Result<UniqueFd> open_redirect(const Redirect& redirect, const RedirectBase& base) {
  switch (redirect.kind) {
    case RedirectKind::kInput:
      return open_path(redirect, base, O_RDONLY);
    case RedirectKind::kOutput:
      return open_path(redirect, base, O_WRONLY | O_CREAT | O_TRUNC);
    case RedirectKind::kAppend:
      return open_path(redirect, base, O_WRONLY | O_CREAT | O_APPEND);
    case RedirectKind::kHereDoc:
    case RedirectKind::kHereDocDash:
      return create_text_file(redirect.file, base.temp_dir, base.dir_fd);
    case RedirectKind::kHereString:
      return create_text_file(redirect.file + "\n", base.temp_dir, base.dir_fd);
    case RedirectKind::kInputDup:
    case RedirectKind::kOutputDup:
      break;
  }
  return fail("duplication has no effect");
}

void apply_redirections(ProcessSpec& spec, const std::vector<Redirect>& redirects,
                        const RedirectBase& base) {
  for (const Redirect& redirect : redirects) {
    auto target = redirect_target(redirect);
    if (!target) continue;
    auto fd = open_redirect(redirect, base);
    if (!fd) continue;
    StdioSlot& slot = *target == StdStream::kInput    ? spec.stdin_slot
                      : *target == StdStream::kOutput ? spec.stdout_slot
                                                      : spec.stderr_slot;
    slot = StdioSlot::descriptor(std::move(fd).value());
  }
}

}  // namespace zelta
