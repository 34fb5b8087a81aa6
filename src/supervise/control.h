// Control requests of a run on a terminal: typed input, signals, flushes of
// pending output, window resizes and the foreground program.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/base64.h"
#include "protocol/request.h"
#include "supervise/stdout_events.h"

namespace zelta {

/// Budget of "stream.flush": 50 ms when absent, else min(timeout_ms, 3000).
std::chrono::milliseconds flush_budget(std::optional<std::uint64_t> timeout_ms);

/// Signal of "run.signal": "KILL" → SIGKILL, "TERM" → SIGTERM, anything else
/// (or absent) → SIGINT. Exact, case-sensitive comparison.
int control_signal(const std::optional<std::string>& name);

/// The signal a "run.signal" sends: control_signal() until the "signals"
/// extension is switched on; then every signal name of the system, with or
/// without "SIG" (signal_from_name), absent → SIGINT, and nullopt (nothing
/// is sent) for a name the system does not have.
std::optional<int> requested_signal(const std::optional<std::string>& name);

/// The bytes a "stdin.write" types: those of `base64` when given (nothing
/// when it does not decode), else `data` (absent: nothing), handed to `type`.
template <typename Type>
void type_control_input(const Request& request, Type&& type);

/// "stream.flush": forwards pending output of `master` in reads of up to
/// 1024 bytes until a read finds nothing or the budget (monotonic clock,
/// checked before every read) runs out.
void flush_terminal_output(int master, StdoutEvents& events,
                           std::optional<std::uint64_t> timeout_ms);

/// "run.resize": sets the terminal's window size (an absent `rows` or
/// `cols` keeps that dimension); the kernel signals SIGWINCH to the
/// terminal's foreground process group when the size actually changes.
void resize_terminal(int master, std::optional<std::uint16_t> rows,
                     std::optional<std::uint16_t> cols);

/// "run.foreground": writes the "foreground" event of run `run_id`, who
/// leads the terminal's foreground group.
void report_foreground(int master, std::string_view run_id);

template <typename Type>
void type_control_input(const Request& request, Type&& type) {
  if (request.base64) {
    if (auto bytes = decode_base64(*request.base64)) type(std::string_view(*bytes));
  } else if (request.data) {
    type(std::string_view(*request.data));
  }
}

}  // namespace zelta
