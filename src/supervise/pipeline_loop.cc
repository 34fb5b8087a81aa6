#include "supervise/pipeline_loop.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/child_exit_watch.h"
#include "supervise/control.h"
#include "supervise/front_end_watch.h"
#include "supervise/pipeline_run.h"
#include "supervise/pty_run.h"
#include "supervise/run_input.h"

namespace zelta {
namespace {

// Poll time-out where no descriptor tells that a member has ended.
constexpr int kFallbackPollMs = 50;
// How long one wait for a capture lasts before input is looked at again.
constexpr int kCaptureCheckMs = 20;

bool is_transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

PipelineLoop::PipelineLoop(PipelineLaunch& launch, int input_fd)
    : launch_(launch), input_fd_(input_fd) {
  if (!launch_.streamed) return;
  buffer_.reset(new char[kStreamReadSize]);
  // Standard output first, so that with both ready it is forwarded first.
  streams_.reserve(1 + launch_.stderr_ends.size());
  if (launch_.stdout_end) {
    streams_.push_back({&launch_.stdout_end, launch_.stdout_end.get(),
                        StdoutEvents(launch_.run_id, launch_.raw_output)});
  }
  for (UniqueFd& end : launch_.stderr_ends) {
    if (end)
      streams_.push_back(
          {&end, end.get(), StdoutEvents(launch_.run_id, launch_.raw_output, "stderr")});
  }
}

PipelineLoop::~PipelineLoop() { carry_input(control_); }

bool PipelineLoop::streams_open() const {
  for (const Stream& stream : streams_) {
    if (stream.fd >= 0) return true;
  }
  return false;
}

void PipelineLoop::signal_members(int signal_number) {
  // Each member leads a process group of its own: what it started in that
  // group gets the signal too, also after the member itself has ended (it may
  // hold a pipe open).
  // Last member first: an earlier member that ends first would let a later
  // one see the end of its input and exit normally before its own signal.
  for (auto child = launch_.children.rbegin(); child != launch_.children.rend(); ++child) {
    ::kill(-child->pid, signal_number);
  }
}

void PipelineLoop::serve_input() {
  char chunk[kControlReadSize];
  const ssize_t n = ::read(input_fd_, chunk, sizeof chunk);
  if (n > 0) {
    control_.append(chunk, static_cast<std::size_t>(n));
    serve_run_lines(control_, control_scanned_, launch_.run_id, [this](const Request& request) {
      if (request.type == "run.signal") {
        if (auto number = requested_signal(request.signal)) signal_members(*number);
      } else if (request.type == "run.pause") {
        paused_ = launch_.streamed;
      } else if (request.type == "run.resume") {
        paused_ = false;
      }
    });
  } else if (n == 0 || !is_transient(errno)) {
    input_open_ = false;
    paused_ = false;  // nobody is left to resume the run
  }
}

void PipelineLoop::forward(Stream& stream) {
  const ssize_t n = ::read(stream.fd, buffer_.get(), kStreamReadSize);
  if (n > 0) {
    stream.events.write(buffer_.get(), static_cast<std::size_t>(n));
    return;
  }
  if (n < 0 && is_transient(errno)) return;
  stream.events.finish();
  stream.end->reset();
  stream.fd = -1;
}

bool PipelineLoop::cycle(int watch_fd, int timeout_ms) {
  std::vector<pollfd> fds;
  fds.reserve(3 + streams_.size());
  fds.push_back({input_open_ ? input_fd_ : -1, POLLIN, 0});
  fds.push_back({watch_fd, POLLIN, 0});
  fds.push_back(front_end_poll_entry());
  // A paused run leaves its pipes unread, so the members block once they are
  // full; input is still served, and so "run.resume" is seen.
  for (const Stream& stream : streams_) fds.push_back({paused_ ? -1 : stream.fd, POLLIN, 0});
  if (::poll(fds.data(), fds.size(), timeout_ms) < 0) return !front_end_gone_now();
  if (front_end_gone(fds[2])) return false;
  for (std::size_t i = 0; i < streams_.size(); ++i) {
    if (!paused_ && fds[3 + i].revents != 0) forward(streams_[i]);
  }
  if (fds[0].revents != 0) serve_input();
  return true;
}

bool PipelineLoop::wait_members() {
  for (PipelineChild& child : launch_.children) {
    ChildExitWatch watch = ChildExitWatch::watch(child.pid);
    while (!child.reaped) {
      int status = 0;
      const pid_t reaped = ::waitpid(child.pid, &status, WNOHANG);
      if (reaped == child.pid || (reaped < 0 && errno != EINTR)) {
        child.reaped = true;
        exit_code_ = reaped == child.pid ? pipeline_exit_code(status) : 1;
        last_status_.reset();
        if (reaped == child.pid) last_status_ = status;
        break;
      }
      if (!cycle(watch.fd(), watch ? -1 : kFallbackPollMs)) {
        std::vector<pid_t> left;
        for (PipelineChild& member : launch_.children) {
          if (!member.reaped) left.push_back(member.pid);
          member.reaped = true;
        }
        end_abandoned_members(left);
        return false;
      }
      watch.clear();
    }
  }
  return true;
}

bool PipelineLoop::drain_streams() {
  while (streams_open()) {
    if (!cycle(-1, -1)) return false;
  }
  return true;
}

bool PipelineLoop::wait_capture(CaptureThread& capture) {
  // The capture's end is seen as soon as it comes; input and the front end are
  // looked at between the waits, without waiting on them.
  while (!capture.wait_for(std::chrono::milliseconds(kCaptureCheckMs))) {
    if (!cycle(-1, 0)) return false;
  }
  return true;
}

}  // namespace zelta
