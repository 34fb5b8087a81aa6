// Applying a command's redirections to the standard streams of its child.
#pragma once

#include <fcntl.h>

#include <optional>
#include <string>
#include <vector>

#include "launch/process_spec.h"
#include "protocol/request.h"

namespace zelta {

/// Which standard stream a redirection replaces.
enum class StdStream { kInput = 0, kOutput = 1, kError = 2 };

/// Where the files of a redirection are opened: relative names resolve against
/// `dir_fd` (the run's working directory, or AT_FDCWD), and here-document
/// files are created in `temp_dir` (relative to `dir_fd` when not absolute).
struct RedirectBase {
  int dir_fd = AT_FDCWD;
  std::string temp_dir = "/tmp";
};

/// The stream a redirection targets, or nullopt for the duplication kinds,
/// which have no effect. Input: fd 1 → output, fd 2 → error, else input.
/// Output and Append: fd 0 → input, fd 2 → error, else output. The
/// here-document kinds always target the input, whatever their fd.
std::optional<StdStream> redirect_target(const Redirect& redirect);

/// Opens the descriptor of one redirection (close-on-exec): Input read-only;
/// Output write-only, created 0666 before the umask, truncated; Append
/// likewise without truncation, every write at the end; the here-document
/// kinds a deleted temporary file holding the text (HereString adds "\n").
/// Never blocks on a FIFO. Fails for the duplication kinds.
Result<UniqueFd> open_redirect(const Redirect& redirect, const RedirectBase& base);

/// Applies `redirects` in order to the slots of `spec`: each one that can be
/// opened replaces its target slot with a descriptor setting (closing an
/// earlier descriptor there; the last one for a stream wins). One that cannot
/// be opened is skipped silently. Never fails.
void apply_redirections(ProcessSpec& spec, const std::vector<Redirect>& redirects,
                        const RedirectBase& base = {});

}  // namespace zelta
