// A pipeline on pipes whose output is reported once it has ended.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capture/capture_buffer.h"
#include "launch/pipeline_launch.h"
#include "supervise/pipeline_members.h"
#include "supervise/run.h"

namespace zelta {

/// Waits for the members in pipeline order, joins the standard-output
/// capture and then the standard-error captures, and writes at most one
/// "stdout" event, at most one "stderr" event and the "exit" event (see
/// supervise_pipeline_run). "run.signal" signals every member's process
/// group.
class CollectedPipelineRun final : public Run {
 public:
  explicit CollectedPipelineRun(PipelineLaunch launch);

  std::string_view id() const override { return launch_.run_id; }
  std::size_t entry_count() const override { return 2; }
  void prepare(RunWaits& waits) override;
  void ready(const pollfd* entries, bool timed_out) override;
  void control(const Request& request) override;
  void input_closed() override {}
  bool done() const override { return joined_ == 1 + err_.size(); }
  void finish() override;
  void abandon_end(long long) override { members_.end_unattended(); }

 private:
  CaptureThread& capture(std::size_t index) {
    return index == 0 ? launch_.stdout_capture : launch_.stderr_captures[index - 1];
  }
  void join_finished();

  PipelineLaunch launch_;
  PipelineMembers members_;
  // Everything the report needs is allocated before the captures may take
  // all the memory there is.
  std::vector<CaptureBuffer> out_;
  std::vector<CaptureBuffer> err_;
  std::string notice_;
  // Written by each capture thread as it finishes; shared with the threads,
  // which may outlive the run.
  std::shared_ptr<UniqueFd> wake_write_;
  UniqueFd wake_read_;
  bool waking_ = false;
  // Captures joined so far: standard output first, then each standard error.
  std::size_t joined_ = 0;
};

}  // namespace zelta
