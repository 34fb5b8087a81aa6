#include "supervise/exit_report.h"

#include <sys/wait.h>

#include <string>

#include "platform/signal_names.h"
#include "protocol/extensions.h"
#include "protocol/output.h"

namespace zelta {

int pty_exit_code(int wait_status) {
  const int signal_number = wait_status & 0x7F;
  if (signal_number == 0) return (wait_status >> 8) & 0xFF;
  return 128 + signal_number;
}

void write_exit_event(std::string_view run_id, std::uint32_t exit_code, std::optional<int> status) {
  if (status && WIFSIGNALED(*status) && switched_on(Switch::kExitSignal)) {
    std::string name = signal_name(WTERMSIG(*status));
    if (name.empty()) name = std::to_string(WTERMSIG(*status));
#ifdef WCOREDUMP
    const bool core = WCOREDUMP(*status);
#else
    const bool core = false;
#endif
    write_event(exit_event(run_id, exit_code, name, core));
  } else {
    write_event(exit_event(run_id, exit_code));
  }
  flush_stdout();
}

}  // namespace zelta
