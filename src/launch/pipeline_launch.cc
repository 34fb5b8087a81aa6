#include "launch/pipeline_launch.h"

#include <fcntl.h>
#include <signal.h>

#include <utility>

#include "launch/environment.h"
#include "launch/member_reaper.h"
#include "launch/process_spec.h"
#include "launch/spawn.h"
#include "platform/pipe.h"

namespace zelta {
namespace {

constexpr int kCapturedPipeSize = 1024 * 1024;

void set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

PipelineLaunch::PipelineLaunch(PipelineLaunch&& other) noexcept
    : run_id(std::move(other.run_id)),
      children(std::exchange(other.children, {})),
      stderr_captures(std::exchange(other.stderr_captures, {})),
      stdout_capture(std::move(other.stdout_capture)),
      streamed(other.streamed),
      raw_output(other.raw_output),
      stderr_ends(std::exchange(other.stderr_ends, {})),
      stdout_end(std::move(other.stdout_end)) {}

PipelineLaunch& PipelineLaunch::operator=(PipelineLaunch&& other) noexcept {
  if (this != &other) {
    abandon();
    run_id = std::move(other.run_id);
    children = std::exchange(other.children, {});
    stderr_captures = std::exchange(other.stderr_captures, {});
    stdout_capture = std::move(other.stdout_capture);
    streamed = other.streamed;
    raw_output = other.raw_output;
    stderr_ends = std::exchange(other.stderr_ends, {});
    stdout_end = std::move(other.stdout_end);
  }
  return *this;
}

PipelineLaunch::~PipelineLaunch() { abandon(); }

void PipelineLaunch::abandon() {
  std::vector<pid_t> pids;
  for (const PipelineChild& child : children) {
    if (!child.reaped) pids.push_back(child.pid);
  }
  std::vector<CaptureThread> captures;
  for (CaptureThread& capture : stderr_captures) {
    if (capture.joinable()) captures.push_back(std::move(capture));
  }
  if (stdout_capture.joinable()) captures.push_back(std::move(stdout_capture));
  children.clear();
  stderr_captures.clear();
  reap_in_background(std::move(pids), std::move(captures));
}

Result<PipelineLaunch> launch_pipeline(const LaunchForm& form) {
  if (form.commands.empty()) return fail("Missing pipeline commands");
  PipelineLaunch launch;
  launch.run_id = form.run_id;
  launch.streamed = form.kind == LaunchKind::kStreamedPipeline;
  launch.raw_output = launch.streamed && form.raw_output;

  // On any failure below the members started so far are killed (nobody would
  // ever stop them: `sleep 600 | no-such-program`), and returning destroys
  // `launch`, which hands them to the background reaper.
  auto failed = [&launch](const std::string& reason) {
    for (const PipelineChild& child : launch.children) ::kill(child.pid, SIGKILL);
    return fail("spawn failed: " + reason);
  };
  UniqueFd previous_stdout;
  for (std::size_t i = 0; i < form.commands.size(); ++i) {
    const LaunchCommand& member = form.commands[i];
    ProcessSpec spec;
    spec.program = member.name;
    spec.argv.reserve(member.args.size() + 1);
    spec.argv.push_back(member.name);
    spec.argv.insert(spec.argv.end(), member.args.begin(), member.args.end());
    spec.cwd = form.cwd;
    spec.env = compose_environment(form.env, member.name, LaunchMode::kPipeline);
    spec.inherit_env = form.inherit_environment;
    spec.stdin_slot =
        i == 0 ? StdioSlot::null() : StdioSlot::descriptor(std::move(previous_stdout));
    spec.stdout_slot = StdioSlot::pipe();
    spec.stderr_slot = StdioSlot::pipe();
    // Off the front end's terminal: /dev/tty fails (ENXIO) in the member
    // instead of reaching that screen or its keystrokes, and the member's
    // process group can be signalled as a whole.
    spec.new_session = true;
    auto child = start_process(std::move(spec));
    if (!child) return failed(child.error());
    launch.children.push_back(PipelineChild{child->pid});
    if (launch.streamed) {
      set_nonblocking(child->stderr_end.get());
      launch.stderr_ends.push_back(std::move(child->stderr_end));
      previous_stdout = std::move(child->stdout_end);
      continue;
    }
    auto capture = start_capture(std::move(child->stderr_end));
    if (!capture) return failed(capture.error());
    launch.stderr_captures.push_back(std::move(capture).value());
    previous_stdout = std::move(child->stdout_end);
  }
  // A larger pipe for the captured standard output lets the capture read it
  // in fewer, larger pieces; where the system refuses, the default stays.
  set_pipe_capacity(previous_stdout.get(), kCapturedPipeSize);
  if (launch.streamed) {
    set_nonblocking(previous_stdout.get());
    launch.stdout_end = std::move(previous_stdout);
    return launch;
  }
  auto capture = start_capture(std::move(previous_stdout));
  if (!capture) return failed(capture.error());
  launch.stdout_capture = std::move(capture).value();
  return launch;
}

}  // namespace zelta
