// The environment of a child: request overrides on top of the executor's own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "protocol/request.h"
#include "protocol/result.h"

namespace zelta {

/// Variables set on top of the executor's environment for one child.
using EnvOverrides = std::unordered_map<std::string, std::string>;

/// How the child is attached: to a terminal (single command) or to pipes.
enum class LaunchMode { kTerminal, kPipeline };

/// The request's `env` plus what the launch adds: TERM=xterm-256color always;
/// in terminal mode BASH_ENV=/dev/null for the command word "bash" or "sh"
/// and ZDOTDIR=/dev/null for "zsh" (whole-word comparison). These replace
/// the request's own values, unless the "env" extension is switched on: then
/// they are only defaults, set where the request's `env` does not name them.
EnvOverrides compose_environment(const EnvMap& env, std::string_view command, LaunchMode mode);

/// True when `name` can be set as a variable: non-empty, without '=' or NUL.
bool is_valid_env_name(std::string_view name);

/// A ready-to-exec environment: every "NAME=VALUE" of the executor's own
/// environment, those named by an override replaced in place, then the
/// remaining overrides in name order. Built before fork; read-only after.
class EnvironmentBlock {
 public:
  /// Fails with "nul byte found in provided data" when a name or value holds
  /// a NUL byte. Without `inherit` the block holds the overrides alone, in
  /// name order.
  static Result<EnvironmentBlock> build(const EnvOverrides& overrides, bool inherit = true);

  EnvironmentBlock(EnvironmentBlock&&) = default;
  EnvironmentBlock& operator=(EnvironmentBlock&&) = default;

  /// Null-terminated array for execve / posix_spawn; valid while *this lives.
  char* const* envp() const { return pointers_.data(); }
  /// Value of `name` in the block, or nullptr.
  const char* get(std::string_view name) const;

 private:
  EnvironmentBlock() = default;
  std::vector<std::string> entries_;
  std::vector<char*> pointers_;
};

}  // namespace zelta
