#include "supervise/collected_pipeline_run.h"

#include <unistd.h>

#include <chrono>

#include "platform/pipe.h"
#include "supervise/control.h"
#include "supervise/pipeline_run.h"

namespace zelta {
namespace {

// How long one look at the captures lasts where no wake-up pipe could be had.
constexpr int kCaptureCheckMs = 20;

}  // namespace

CollectedPipelineRun::CollectedPipelineRun(PipelineLaunch launch)
    : launch_(std::move(launch)), members_(launch_), out_(1), err_(launch_.stderr_captures.size()) {
  notice_.reserve(128 * (1 + err_.size()));
  int ends[2];
  if (make_pipe(ends, /*nonblocking=*/true) == 0) {
    wake_read_.reset(ends[0]);
    wake_write_ = std::make_shared<UniqueFd>(ends[1]);
  }
}

void CollectedPipelineRun::prepare(RunWaits& waits) {
  members_.prepare(waits.entries[0], waits.timeout_ms, waits.renewed);
  if (!members_.all_reaped()) return;
  // A process the members left behind may hold a pipe open for any time;
  // the captures are waited for without holding up anything else.
  if (!waking_) {
    waking_ = true;
    for (std::size_t i = 0; i < 1 + err_.size(); ++i) capture(i).wake_on_finish(wake_write_);
  }
  join_finished();
  if (done()) return;
  waits.entries[1] = {wake_read_.get(), POLLIN, 0};
  if (!wake_read_) waits.timeout_ms = kCaptureCheckMs;
}

void CollectedPipelineRun::ready(const pollfd* entries, bool timed_out) {
  members_.ready(entries[0], timed_out);
  if (entries[1].fd >= 0 && entries[1].revents != 0) {
    char drained[64];
    while (::read(wake_read_.get(), drained, sizeof drained) > 0) {
    }
  }
}

void CollectedPipelineRun::join_finished() {
  while (!done() && capture(joined_).wait_for(std::chrono::milliseconds(0))) {
    CaptureBuffer joined = capture(joined_).join();
    if (joined_ == 0) {
      out_[0] = std::move(joined);
    } else {
      err_[joined_ - 1] = std::move(joined);
    }
    ++joined_;
  }
}

void CollectedPipelineRun::control(const Request& request) {
  if (request.type != "run.signal") return;
  if (auto number = requested_signal(request.signal)) members_.signal(*number);
}

void CollectedPipelineRun::finish() {
  // Every capture is joined: the run's descriptors are gone by the time the
  // front end sees "exit".
  wake_read_.reset();
  wake_write_.reset();
  write_pipeline_report(launch_.run_id, out_, err_, std::move(notice_), members_.exit_code(),
                        members_.last_status());
}

}  // namespace zelta
