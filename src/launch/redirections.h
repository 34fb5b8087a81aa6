// Turning a command's redirections into the steps its terminal child applies.
#pragma once

#include <fcntl.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "protocol/request.h"
#include "protocol/result.h"

namespace zelta {

/// Which standard stream a redirection replaces.
enum class StdStream { kInput = 0, kOutput = 1, kError = 2 };

/// Where here-document files are created: in `temp_dir`, resolved against
/// `dir_fd` (the run's working directory) when not absolute.
struct RedirectBase {
  int dir_fd = AT_FDCWD;
  std::string temp_dir = "/tmp";
};

/// The stream a redirection targets, or nullopt for the duplication kinds,
/// which have no effect. Input: fd 1 → output, fd 2 → error, else input.
/// Output and Append: fd 0 → input, fd 2 → error, else output. The
/// here-document kinds always target the input, whatever their fd.
std::optional<StdStream> redirect_target(const Redirect& redirect);

/// The open(2) flags of a file redirection, without close-on-exec: Input
/// read-only; Output write-only, created, truncated; Append write-only,
/// created, every write at the end. Nullopt for every other kind.
std::optional<int> redirect_open_flags(RedirectKind kind);

/// One step of a terminal child's redirections, applied in request order on
/// the child's live descriptors 0-2 (so the last step for a stream wins and
/// names such as /dev/stdout mean the child's own streams).
struct RedirectStep {
  int target = 0;  ///< The standard descriptor replaced: 0, 1 or 2.
  /// When set, the child opens this name (relative to its working directory)
  /// with `flags` and mode 0666, blocking like any open.
  const char* path = nullptr;
  int flags = 0;
  /// Otherwise an already open descriptor (a here-document file) to install.
  UniqueFd fd;
  /// Or, when not -1, the standard descriptor (0-2) to duplicate onto
  /// `target` as it is at this step ("2>&1" of a pipeline member).
  int dup_from = -1;
  /// When not empty, the step cannot be applied: the child writes this line
  /// to its standard error and exits with status 1.
  std::string failure;
};

/// True when the child's open of this step might wait (for a FIFO's peer, a
/// device, a name that means something else in the child): anything but a
/// regular file, a directory, a name that does not exist yet, or one of the
/// memory devices (null, zero, full, random, urandom). Names under /proc/ and
/// /dev/ that depend on the opening process, and names that cannot be
/// checked, count as ones that might. Relative names resolve against `dir_fd`.
bool redirect_may_block(const RedirectStep& step, int dir_fd);

/// The child's steps for `redirects`, prepared before any fork: the file kinds
/// keep their name (pointing into `redirects`, which must outlive the steps),
/// the here-document kinds become deleted temporary files in `base.temp_dir`
/// (HereString adds "\n"), the duplication kinds are left out. A name holding
/// a NUL byte or a here-document that cannot be stored becomes a failure step
/// "<name>: <reason>\n" (the name of a here-document is its directory).
std::vector<RedirectStep> plan_redirections(const std::vector<Redirect>& redirects,
                                            const RedirectBase& base);

}  // namespace zelta
