// The protocol extensions this executor has, and the executor-wide ones a
// front end has switched on with "hello".
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace zelta {

/// Every extension this executor has, in ascending byte order: the list the
/// "hello" reply carries. Adding one is adding its name here.
inline constexpr std::array<std::string_view, 11> kExtensionNames = {
    "concurrent", "env",     "exit_signal", "foreground", "pause",       "raw_output",
    "run.resize", "signals", "stream",      "terminal",   "terminal_fd",
};

/// The executor's own version, as the "hello" reply gives it.
std::string_view executor_version();

/// The extensions that change existing messages and so stay off until a
/// front end names them in "hello"; once on, they stay on for the rest of
/// the executor's life.
enum class Switch {
  kExitSignal,  // "exit_signal": the signal that ended a run, in its "exit" event
  kSignals,     // "signals": "run.signal" takes every signal name of the system
  kEnv,         // "env": the request's `env` wins over the terminal defaults; "env_clear"
  kConcurrent,  // "concurrent": runs go on side by side while requests are served
};

/// Switches on every executor-wide extension named in `names`; names that
/// are not executor-wide switches (unknown ones included) are ignored.
void switch_on_extensions(const std::vector<std::string>& names);

/// True once `which` has been switched on.
bool switched_on(Switch which);

/// Switches every executor-wide extension off again (tests only).
void reset_switches_for_testing();

}  // namespace zelta
