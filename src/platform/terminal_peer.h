// Opening the slave side of a pseudo-terminal from its master.
#pragma once

#include "platform/unique_fd.h"

namespace zelta {

/// Opens the slave side of the unlocked pseudo-terminal whose master is
/// `master_fd`: read-write, close-on-exec, and not made the caller's
/// controlling terminal. Invalid (with errno set) on failure. Safe to call
/// from several threads at once.
UniqueFd open_terminal_peer(int master_fd);

}  // namespace zelta
