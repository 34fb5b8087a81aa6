#include "launch/pty_launch.h"

namespace zelta {

// Placeholder until terminal launch exists.
Result<PtyLaunch> launch_pty(const Request& execute_form) {
  if (!execute_form.command) return fail("Missing command");
  return fail("forkpty failed");
}

}  // namespace zelta
