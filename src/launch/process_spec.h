// One child about to be started: program, arguments, place and standard streams.
#pragma once

#include <string>
#include <vector>

#include "launch/environment.h"
#include "platform/unique_fd.h"

namespace zelta {

/// How one standard stream of a child is set up.
enum class StdioKind {
  kInherit,     // what the child gets anyway (the terminal of a terminal run)
  kNull,        // the null device
  kPipe,        // a new pipe whose other end the executor keeps
  kDescriptor,  // `fd`, owned by the slot, installed as that stream
};

/// The setting of one standard stream. A descriptor setting owns its
/// descriptor: replacing or discarding the setting closes it.
struct StdioSlot {
  StdioKind kind = StdioKind::kInherit;
  UniqueFd fd;

  static StdioSlot inherit() { return {}; }
  static StdioSlot null() { return {StdioKind::kNull, UniqueFd()}; }
  static StdioSlot pipe() { return {StdioKind::kPipe, UniqueFd()}; }
  static StdioSlot descriptor(UniqueFd fd) { return {StdioKind::kDescriptor, std::move(fd)}; }
};

/// One child about to be started.
struct ProcessSpec {
  std::string program;            // the command word
  std::vector<std::string> argv;  // argument zero is the command word
  std::string cwd;
  EnvOverrides env;
  bool inherit_env = true;  // start from the executor's environment (see EnvironmentBlock)
  StdioSlot stdin_slot;
  StdioSlot stdout_slot;
  StdioSlot stderr_slot;
  /// Start the child in a session of its own: no controlling terminal, and
  /// its own process group.
  bool new_session = false;
};

}  // namespace zelta
