// Noticing, while a run waits, that the front end has gone, and ending what
// it left behind.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <vector>

#include "capture/capture_buffer.h"
#include "capture/capture_thread.h"
#include "platform/child_exit_watch.h"
#include "platform/unique_fd.h"

namespace zelta {

/// Longest wait, after a terminal's hang-up, for its command to end before
/// whatever is left of its process group is killed.
inline constexpr std::chrono::milliseconds kHangUpGrace{500};

/// A poll entry on the output descriptor that asks for no events: poll still
/// reports an error (a pipe whose reader has closed) or a hang-up, so the
/// front end's departure is seen without writing anything.
pollfd front_end_poll_entry();

/// The entry for a wait that reports changes only (an edge-triggered Poller
/// entry): on a socket it also asks for POLLOUT, which such a wait reports
/// whenever the socket is woken. A front end that shuts down only its
/// reading side of a socket wakes it and shows in no other way; front_end_gone
/// then asks the socket with an empty send. Elsewhere: front_end_poll_entry().
pollfd front_end_change_entry();

/// True when the returned events of that entry (or an earlier failed write)
/// say the front end is gone; the output is then marked broken.
bool front_end_gone(const pollfd& entry);
/// The same, asking the system now without waiting.
bool front_end_gone_now();

/// Ends a terminal command whose front end has gone: closes `master`, which
/// hangs up the terminal (the command's session gets SIGHUP), waits up to
/// `grace_ms` (kHangUpGrace when absent) for the command `child` to end, then
/// kills its process group and reaps it. Returns the raw wait status (0 if
/// the wait failed).
int end_abandoned_terminal(UniqueFd& master, pid_t child, ChildExitWatch& watch,
                           long long grace_ms = kHangUpGrace.count());

/// How a watched wait for a child ended.
struct WatchedWait {
  enum class Outcome { kExited, kFailed, kFrontEndGone };
  Outcome outcome = Outcome::kFailed;
  int status = 0;  // the raw wait status when kExited
};

/// Waits for the child `pid` as a blocking waitpid would, but returns
/// kFrontEndGone (leaving the child unreaped) as soon as the front end is
/// gone.
WatchedWait wait_watching_front_end(pid_t pid);

/// Joins `capture` into `out`, but returns false (leaving the thread to
/// finish on its own) as soon as the front end is gone; a process that keeps
/// the pipe open can hold a capture for any time.
bool join_watching_front_end(CaptureThread& capture, CaptureBuffer& out);

/// Kills and reaps the pipeline members in `pids` that are not reaped yet.
void end_abandoned_members(const std::vector<pid_t>& pids);

}  // namespace zelta
