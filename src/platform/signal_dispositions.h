// Which signals this process handles or ignores, for a child to set back.
#pragma once

#include <cstddef>

namespace zelta {

/// The signals (1 to NSIG-1 but SIGKILL and SIGSTOP) whose disposition is not
/// the default in this process right now; `out` holds NSIG entries. Returns
/// the count. On Linux only the signals the kernel lists as ignored or caught
/// (one read of /proc/self/status) are queried; elsewhere, every one.
std::size_t signals_not_at_default(int* out);

}  // namespace zelta
