#include "supervise/streamed_pipeline_run.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

#include "supervise/control.h"
#include "supervise/exit_report.h"

namespace zelta {

StreamedPipelineRun::StreamedPipelineRun(PipelineLaunch launch)
    : launch_(std::move(launch)), members_(launch_), buffer_(new char[kStreamReadSize]) {
  // Standard output first, so that with both ready it is forwarded first.
  streams_.reserve(1 + launch_.stderr_ends.size());
  if (launch_.stdout_end) {
    streams_.push_back({&launch_.stdout_end, launch_.stdout_end.get(),
                        StdoutEvents(launch_.run_id, launch_.raw_output)});
  }
  for (UniqueFd& end : launch_.stderr_ends) {
    if (end) {
      streams_.push_back(
          {&end, end.get(), StdoutEvents(launch_.run_id, launch_.raw_output, "stderr")});
    }
  }
}

bool StreamedPipelineRun::done() const {
  if (!members_.all_reaped()) return false;
  for (const Stream& stream : streams_) {
    if (stream.fd >= 0) return false;
  }
  return true;
}

void StreamedPipelineRun::prepare(RunWaits& waits) {
  members_.prepare(waits.entries[0], waits.timeout_ms, waits.renewed);
  read_limit_ =
      waits.read_limit != 0 ? std::min(waits.read_limit, kStreamReadSize) : kStreamReadSize;
  // A paused run leaves its pipes unread, so the members block once they are
  // full; control requests are still served, and so "run.resume" is seen.
  for (std::size_t i = 0; i < streams_.size(); ++i) {
    waits.entries[1 + i] = {paused_ ? -1 : streams_[i].fd, POLLIN, 0};
  }
}

void StreamedPipelineRun::ready(const pollfd* entries, bool timed_out) {
  for (std::size_t i = 0; i < streams_.size(); ++i) {
    if (!paused_ && entries[1 + i].fd >= 0 && entries[1 + i].revents != 0) forward(streams_[i]);
  }
  members_.ready(entries[0], timed_out);
}

void StreamedPipelineRun::forward(Stream& stream) {
  const ssize_t n = ::read(stream.fd, buffer_.get(), read_limit_);
  if (n > 0) {
    stream.events.write(buffer_.get(), static_cast<std::size_t>(n));
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  stream.events.finish();
  stream.end->reset();
  stream.fd = -1;
}

void StreamedPipelineRun::control(const Request& request) {
  if (request.type == "run.signal") {
    if (auto number = requested_signal(request.signal)) members_.signal(*number);
  } else if (request.type == "run.pause") {
    paused_ = true;
  } else if (request.type == "run.resume") {
    paused_ = false;
  }
}

void StreamedPipelineRun::finish() {
  write_exit_event(launch_.run_id, members_.exit_code(), members_.last_status());
}

}  // namespace zelta
