// The "exit" event of a run, with the signal that ended it when asked for.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zelta {

/// Exit code of a terminal child from its raw wait status: the exit status
/// byte for a normal exit, 128 + n after signal n.
int pty_exit_code(int wait_status);

/// Writes the "exit" event of run `run_id` and flushes it. With the
/// "exit_signal" extension switched on and `status` (the raw wait status of
/// the run's last process, absent when it could not be waited for) telling
/// of an end by signal, the event also carries "signal" (its name without
/// "SIG") and "core_dumped":true when a core was written.
void write_exit_event(std::string_view run_id, std::uint32_t exit_code, std::optional<int> status);

}  // namespace zelta
