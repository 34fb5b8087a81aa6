// Opening a directory only to refer to it (openat bases, fchdir).
#pragma once

#include <fcntl.h>

#include "platform/features.h"

namespace zelta {

/// open/openat flags for a directory handle that is never read: the run's
/// working directory, a base for relative paths. A path-only handle needs
/// search permission alone; where the system has none, a read-only one is
/// used, which also needs read permission on the directory.
#if ZELTA_LINUX_CALLS
inline constexpr int kDirectoryHandleFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
inline constexpr int kDirectoryHandleFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
inline constexpr int kDirectoryHandleFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

}  // namespace zelta
