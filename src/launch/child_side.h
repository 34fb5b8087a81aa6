// What a terminal child reads, prepared before it is created, and the code it
// runs from its creation to its exec: a command's child (exec_in_child) and a
// job's leader with its members (run_job_leader). The child may only make
// async-signal-safe calls (see child_side.cc).
//
// A clone child shares the executor's memory until its exec: it reads the
// plan and the error-text table, writes only the plan's scratch areas, and
// its failing calls set the errno of the thread that launched it (restored
// by the launch). It has its own copies of the descriptor table, signal
// dispositions and mask, and runs on a private stack with every signal
// blocked until it has set its dispositions back to the default.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "launch/redirections.h"
#include "platform/close_descriptors.h"

namespace zelta {

/// How a terminal child is created.
enum class LaunchMethod {
  /// clone(CLONE_VM | CLONE_VFORK | CLONE_PIDFD) on a private stack: no copy of
  /// the executor's memory, and the launch returns once the child has executed
  /// (or exited). While it runs, the child shares with the executor its
  /// memory (so the plan, the error-text table and the calling thread's errno
  /// and C library state), but not its descriptor table, signal dispositions
  /// or mask: it has copies of those. The executor's thread is suspended
  /// meanwhile with every signal blocked, so it is taken only for a child
  /// that cannot wait on anything outside (see choose_launch_method).
  kVforkClone,
  /// fork, with a readiness pipe the child closes once the terminal is its
  /// controlling terminal; the child may then block (on a FIFO) on its own.
  kFork,
};

/// A plan for the child. Every pointer refers to memory the parent prepared
/// before creating the child and keeps alive until the launch has returned;
/// the child only reads it (and fills the scratch areas below).
struct ChildExec {
  /// The slave side of the terminal: controlling terminal and the first
  /// setting of every standard stream. -1 keeps the session, process group
  /// and streams the child was created with.
  int slave_fd = -1;
  /// The run's working directory, entered with chdir; nullptr stays put.
  const char* cwd = nullptr;
  /// Write end of the launch's readiness pipe, or -1: closed once the
  /// terminal is the child's controlling terminal, before the directory
  /// change and any step that may block.
  int ready_fd = -1;

  /// How far the child closes descriptors above 2.
  DescriptorBound descriptor_bound;
  /// The descriptors above 2 the redirection steps install (here-document
  /// files), in ascending order: the only ones the child keeps past taking
  /// its terminal.
  const int* kept_fds = nullptr;
  std::size_t kept_fd_count = 0;

  /// Signals whose disposition the child sets back to the default (those the
  /// parent found not at their default).
  const int* reset_signals = nullptr;
  std::size_t reset_signal_count = 0;

  /// When set, the child writes this message to its standard error (after its
  /// directory is set) and exits with `setup_failure_status`, without
  /// applying redirections or executing anything.
  const char* setup_failure = nullptr;
  std::size_t setup_failure_length = 0;
  int setup_failure_status = 126;

  /// When set, written to standard error in place of the exec (after the
  /// redirections), and the child exits with 126.
  const char* exec_failure = nullptr;
  std::size_t exec_failure_length = 0;

  /// Redirection steps, applied in order after the setup checks.
  const RedirectStep* redirects = nullptr;
  std::size_t redirect_count = 0;

  char* const* argv = nullptr;
  char* const* envp = nullptr;
  /// The paths to try in order (the exec search over the composed PATH).
  const char* const* candidates = nullptr;
  std::size_t candidate_count = 0;
  /// "/bin/sh", <slot for the candidate>, argv[1], ..., nullptr: used when a
  /// candidate is not an executable format (a script without "#!").
  char** shell_argv = nullptr;

  /// The command word, for the "command not found" and "failed to execute"
  /// messages.
  const char* command = nullptr;
  std::size_t command_length = 0;
  /// Scratch buffer of `scratch_capacity` bytes where the child builds a
  /// message line; room for the longest name plus kFailureTextRoom.
  char* scratch = nullptr;
  std::size_t scratch_capacity = 0;
};

/// Room a message line needs beyond the name it starts with.
inline constexpr std::size_t kFailureTextRoom = 200;

/// Error numbers below this have a prepared text.
inline constexpr int kChildErrorTexts = 134;

/// "Description (os error N)" for each error number below kChildErrorTexts,
/// set by prepare_child_error_texts (exec_plan.h) before the first child:
/// a child never calls strerror. nullptr: "Unknown error N (os error N)".
inline const std::string* g_child_error_texts = nullptr;

/// Runs in the child: resets the listed dispositions and clears the signal
/// mask, starts a session and makes the terminal its controlling terminal on
/// 0-2, closes every descriptor above 2 but `kept_fds` (the readiness pipe
/// among them), enters the working directory, applies the redirection steps,
/// closes the rest and executes the first candidate that can be executed. A
/// session or terminal the system refuses writes "<command>: cannot start a
/// session: <reason>\n" or "<command>: cannot take the terminal: <reason>\n"
/// and exits with 126. A directory that cannot be entered or a redirection
/// that cannot be applied writes "<name>: <reason>\n" to standard error and
/// exits with 1; a failed exec writes "<command>: command not found\n" (127)
/// or "<command>: failed to execute: <reason>\n" (126). Never returns.
[[noreturn]] void exec_in_child(const ChildExec& plan);

/// exec_in_child for a clone: `plan` is the ChildExec.
int exec_in_clone(void* plan);

/// Size of each stack a job's memory-sharing members run on.
inline constexpr std::size_t kMemberStackSize = 64 * 1024;

/// Everything a job's leader reads, prepared before its fork.
struct JobLeaderPlan {
  /// The terminal's slave side: the leader's controlling terminal, standard
  /// input of the first member, standard output of the last, standard error
  /// of all.
  int slave_fd = -1;
  /// The terminal's master side, which the leader closes (it never executes,
  /// so close-on-exec does not take it away).
  int master_fd = -1;
  /// Write end of the report pipe: the leader writes the members' process
  /// group id there (a pid_t) once every member has been forked, or closes
  /// it without writing when none could be started.
  int report_fd = -1;
  /// One exec plan per member, in pipeline order (slave_fd -1 each).
  const ChildExec* const* members = nullptr;
  /// How each member is created, as choose_launch_method gives for its plan:
  /// kVforkClone shares the leader's memory until the member's exec, so no
  /// page table is copied and the leader goes on once the member has
  /// executed or exited; kFork copies. Only a member that cannot wait on
  /// anything outside before its exec may share: the leader waits for it,
  /// and the members after it wait for the leader. The lines such a member
  /// may write on the terminal are bounded, and the executor reads the
  /// terminal until the leader reports, so those writes do not wait either.
  const LaunchMethod* methods = nullptr;
  /// The top of a stack for the members that share memory, mapped before
  /// the leader's fork (see member_stack_top); nullptr forks every member.
  char* member_stack_top = nullptr;
  /// When every member shares memory: the leader maps a stack for each and
  /// creates them side by side, without waiting for one member's exec before
  /// creating the next. Safe because such a member reads nothing another
  /// writes: the error of its directory change and exec comes back from the
  /// kernel, not through the errno they all share, and it writes only its
  /// own stack and plan. The leader falls back to one at a time when the
  /// stacks cannot be mapped.
  bool side_by_side = false;
  std::size_t member_count = 0;
  /// Room for member_count process ids.
  pid_t* pids = nullptr;
};

/// Runs in the job's leader, a forked child of the executor: new session with
/// the terminal as controlling terminal; for each member a pipe to the next
/// (close-on-exec), the member's creation by its method (a fork where the
/// shared creation is not built or is refused), and in the child the process
/// group (the first member's), the foreground group of the terminal (first
/// member), the pipe ends on 0 and 1, then exec_in_child. A member that
/// cannot be created is reported on the terminal and the others run on.
/// Waits for every member and exits with the last member's code (126 when it
/// could not be started); when a signal ended the last member, the leader
/// ends by that signal too (without a core), else with 128 + n. Every signal
/// stays blocked in the leader. Never returns.
[[noreturn]] void run_job_leader(const JobLeaderPlan& plan);

}  // namespace zelta
