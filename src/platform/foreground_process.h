// What a terminal is running in its foreground: for tab titles and the like.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace zelta {

/// The leader of a terminal's foreground process group, as far as the
/// system will say: each field is absent where it will not.
struct ForegroundProcess {
  std::optional<pid_t> pid;         // the process group's id, its leader's pid
  std::optional<std::string> name;  // the leader's program name ("vim")
  std::optional<std::string> cwd;   // the leader's working directory
};

/// Describes the foreground process group of the terminal whose master (or
/// slave) is `terminal_fd`. With the Linux calls the name and directory come
/// from /proc, on macOS from libproc; elsewhere, and in a build with the
/// portable fallbacks on Linux, there is the process group id only. Never
/// waits: nothing here depends on the processes' cooperation.
ForegroundProcess foreground_process(int terminal_fd);

}  // namespace zelta
