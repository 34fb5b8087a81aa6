// The members of a pipeline on pipes, waited for in pipeline order.
#pragma once

#include <poll.h>

#include <cstdint>
#include <optional>

#include "launch/pipeline_launch.h"
#include "platform/child_exit_watch.h"

namespace zelta {

/// Waits, without blocking, for each member of `launch` in pipeline order:
/// the exit code is the last member's (pipeline_exit_code; 1 when it could
/// not be waited for).
class PipelineMembers {
 public:
  explicit PipelineMembers(PipelineLaunch& launch) : launch_(launch) {}

  /// Reaps the members that have ended, in order, as far as it gets; the
  /// entry to wait on for the next one (a negative descriptor once all are
  /// reaped) and, when it must not sleep long, the time-out. `renewed` is
  /// set when the entry's descriptor is a new one.
  void prepare(pollfd& entry, int& timeout_ms, bool& renewed);
  /// What the wait found for the entry.
  void ready(const pollfd& entry, bool timed_out);

  bool all_reaped() const { return next_ >= launch_.children.size(); }

  /// "run.signal": sends `signal_number` to every member's process group,
  /// the last member's first.
  void signal(int signal_number);

  /// Kills and reaps every member not reaped yet (the front end has gone).
  void end_unattended();

  std::uint32_t exit_code() const { return exit_code_; }
  /// The last member's raw wait status, when it could be waited for.
  std::optional<int> last_status() const { return last_status_; }

 private:
  PipelineLaunch& launch_;
  std::size_t next_ = 0;
  ChildExitWatch watch_;
  bool watching_ = false;
  bool check_ = true;
  std::uint32_t exit_code_ = 0;
  std::optional<int> last_status_;
};

}  // namespace zelta
