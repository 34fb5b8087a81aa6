// The launch form: what one run starts and how, with every default resolved.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/request.h"

namespace zelta {

/// What a run gets for each setting its request left out.
inline constexpr std::string_view kDefaultRunId = "run-0";
inline constexpr std::string_view kDefaultCwd = "/tmp";
inline constexpr std::uint16_t kDefaultRows = 24;
inline constexpr std::uint16_t kDefaultCols = 80;

/// One command to start: its word, its arguments and its redirections.
struct LaunchCommand {
  std::string name;
  std::vector<std::string> args;
  std::vector<Redirect> redirects;

  bool operator==(const LaunchCommand&) const = default;
};

/// Every way a run starts its commands.
enum class LaunchKind {
  /// One command on a new pseudo-terminal.
  kTerminalCommand,
  /// One command on the pseudo-terminal the front end handed down
  /// (`terminal_fd`): the front end reads and types into it itself.
  kFrontEndTerminalCommand,
  /// A pipeline of two or more commands on a new pseudo-terminal, as its
  /// foreground job.
  kJob,
  /// A pipeline on pipes whose output is reported once every member ended.
  kCollectedPipeline,
  /// A pipeline on pipes whose output is reported as it arrives.
  kStreamedPipeline,
};

/// A run as the launch sees it: built once from the request, never re-read.
struct LaunchForm {
  LaunchKind kind = LaunchKind::kTerminalCommand;
  /// In pipeline order; exactly one for the command kinds.
  std::vector<LaunchCommand> commands;
  std::string run_id{kDefaultRunId};
  std::string cwd{kDefaultCwd};
  /// Set on top of the starting environment (see `inherit_environment`).
  EnvMap env;
  /// Start from the executor's environment; false only for "env_clear" with
  /// the "env" extension on.
  bool inherit_environment = true;
  /// Output events carry the exact bytes (terminal runs and streamed pipelines).
  bool raw_output = false;
  std::optional<std::uint64_t> timeout_ms;
  /// The window of a new terminal.
  std::uint16_t rows = kDefaultRows;
  std::uint16_t cols = kDefaultCols;
  /// The front end's terminal master for kFrontEndTerminalCommand, else -1.
  int terminal_fd = -1;

  /// True for the kinds that run on a pseudo-terminal.
  bool on_terminal() const {
    return kind == LaunchKind::kTerminalCommand || kind == LaunchKind::kFrontEndTerminalCommand ||
           kind == LaunchKind::kJob;
  }
};

}  // namespace zelta
