#include "supervise/pty_run.h"

namespace zelta {

// Placeholder until terminal supervision exists.
void supervise_pty_run(PtyLaunch) {}

}  // namespace zelta
