// A pipeline on pipes whose output is sent as it arrives.
#pragma once

#include <memory>
#include <vector>

#include "launch/pipeline_launch.h"
#include "supervise/pipeline_members.h"
#include "supervise/run.h"
#include "supervise/stdout_events.h"

namespace zelta {

/// Largest read from one output pipe of a streamed pipeline.
inline constexpr std::size_t kStreamReadSize = 64 * 1024;

/// Writes "stdout" events (the last member's standard output) and "stderr"
/// events (every member's standard error) as output arrives, each holding
/// whole characters, and "exit" once every member has ended and every pipe
/// is at end of file. "run.signal" signals every member's process group;
/// "run.pause" and "run.resume" stop and restart the reading of the pipes
/// (the members block once a pipe is full).
class StreamedPipelineRun final : public Run {
 public:
  explicit StreamedPipelineRun(PipelineLaunch launch);

  std::string_view id() const override { return launch_.run_id; }
  std::size_t entry_count() const override { return 1 + streams_.size(); }
  void prepare(RunWaits& waits) override;
  void ready(const pollfd* entries, bool timed_out) override;
  void control(const Request& request) override;
  void input_closed() override { paused_ = false; }
  bool done() const override;
  void finish() override;
  void abandon_end(long long) override { members_.end_unattended(); }

 private:
  struct Stream {
    UniqueFd* end;  // the launch's read end; closed at its end of file
    int fd;
    StdoutEvents events;
  };
  void forward(Stream& stream);

  PipelineLaunch launch_;
  PipelineMembers members_;
  std::vector<Stream> streams_;
  std::unique_ptr<char[]> buffer_;
  bool paused_ = false;
  std::size_t read_limit_ = kStreamReadSize;
};

}  // namespace zelta
