// Starting the members of a pipeline joined by pipes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "capture/capture_thread.h"
#include "protocol/result.h"
#include "tree/launch_form.h"

namespace zelta {

/// One started member of a pipeline.
struct PipelineChild {
  pid_t pid = -1;
  /// Set once the member has been waited for (successfully or not).
  bool reaped = false;
};

/// What a successful pipeline launch hands to its run: the members in
/// pipeline order, a capture of each member's standard error, and one of the
/// last member's standard output.
///
/// Owns its children: when it is destroyed, members not yet marked reaped and
/// captures not yet joined are handed to a background reaper, so a launch
/// that fails half way, or a run that is abandoned, leaves no zombie and
/// never holds up its caller.
struct PipelineLaunch {
  std::string run_id;
  std::vector<PipelineChild> children;
  std::vector<CaptureThread> stderr_captures;
  CaptureThread stdout_capture;
  /// A streamed launch keeps the read ends itself instead of capturing them:
  /// each member's standard error in pipeline order, and the last member's
  /// standard output (all non-blocking). The captures are then empty.
  bool streamed = false;
  /// A streamed launch whose events carry the exact bytes read ("base64").
  bool raw_output = false;
  std::vector<UniqueFd> stderr_ends;
  UniqueFd stdout_end;

  PipelineLaunch() = default;
  PipelineLaunch(PipelineLaunch&& other) noexcept;
  PipelineLaunch& operator=(PipelineLaunch&& other) noexcept;
  ~PipelineLaunch();

 private:
  void abandon();
};

/// Starts every command of the form: the first reads the null
/// device, each later one the standard output of the one before, and every
/// standard output and standard error goes to a pipe; the executor keeps only
/// the read ends of the standard-error pipes and of the last standard-output
/// pipe, each inside its capture thread (or, for kStreamedPipeline, in the
/// launch itself). Members run in `cwd` with the form's `env` and
/// TERM=xterm-256color, each in a session of its own (no
/// controlling terminal; its process id is its process group's). Members'
/// redirections are not applied.
///
/// Fails with the error reply's text: "Missing pipeline commands", or "spawn
/// failed: " and the description of the start (or capture thread) failure.
/// Members started before a failure are killed and reaped in the background.
Result<PipelineLaunch> launch_pipeline(const LaunchForm& form);

}  // namespace zelta
