// Control requests of a running terminal command: typed input, signals,
// flushes of pending output and window resizes.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/request.h"
#include "supervise/pty_run.h"

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

/// `text` without leading and trailing characters of the Unicode White_Space
/// property. `text` must be valid UTF-8.
std::string_view trim_white_space(std::string_view text);

/// Consumes every complete line of `run.control_buffer`, in order (see
/// serve_run_lines): control requests for this run go to dispatch_control,
/// those for another run are dropped, every other line is kept for the
/// service loop.
void serve_control_input(PtyRun& run);

/// Carries out one control request addressed to `run`: "stdin.write" types
/// the bytes of `base64` when given (nothing when it does not decode), else
/// `data` (absent: nothing); "run.signal" kills the child pid only, or for a
/// job on the terminal its members' process group (nothing once reaped; see
/// requested_signal); "stream.flush" forwards pending
/// output in reads of up to 1024 bytes until a read finds nothing or the
/// budget (monotonic clock, checked before every read) runs out, and reads
/// nothing while paused; "run.resize" sets the terminal's window size (an
/// absent `rows` or `cols` keeps that dimension); "run.pause" and
/// "run.resume" stop and restart the reading of output; "run.foreground"
/// writes the "foreground" event. Any other type: nothing.
void dispatch_control(PtyRun& run, const Request& request);

}  // namespace zelta
