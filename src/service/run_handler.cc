#include "service/run_handler.h"

#include <memory>
#include <string_view>
#include <utility>

#include "launch/job_launch.h"
#include "launch/pipeline_launch.h"
#include "launch/pty_launch.h"
#include "loop/event_loop.h"
#include "loop/heap_release.h"
#include "protocol/extensions.h"
#include "protocol/output.h"
#include "supervise/pipeline_run.h"
#include "supervise/terminal_run.h"
#include "tree/lower.h"

namespace zelta {

namespace {

// Serves a started run: in the loop serving requests, or alone.
void serve_run(std::unique_ptr<Run> run) {
  if (EventLoop* loop = EventLoop::current()) {
    loop->add(std::move(run));
    return;
  }
  EventLoop alone(0, nullptr);
  alone.run_alone(std::move(run));
}

// With runs side by side: a run whose identity is taken, or one too many,
// is refused before anything starts.
bool refused_beside_others(const Request& request) {
  EventLoop* loop = EventLoop::current();
  if (loop == nullptr || !switched_on(Switch::kConcurrent)) return false;
  if (loop->has_run(request.run_id ? std::string_view(*request.run_id) : kDefaultRunId)) {
    write_reply(error_reply("Duplicate run_id"));
    return true;
  }
  if (loop->run_count() >= EventLoop::kMaxRuns) {
    write_reply(error_reply("Too many runs"));
    return true;
  }
  return false;
}

}  // namespace

void serve_run_ast(Request& request) {
  if (refused_beside_others(request)) return;
  const std::uintptr_t mark = heap_end();
  auto lowered = lower_run_ast(request);
  // The tree, and then the launch form, are not needed once the next step
  // has what it needs; a large one is given back before the run, which may
  // last for hours.
  request.ast.reset();
  if (!lowered) {
    write_reply(error_reply(std::move(lowered).error()));
    return;
  }
  LaunchForm form = std::move(lowered).value();
  if (form.on_terminal()) {
    const bool raw_output = form.raw_output;
    auto launch = form.kind == LaunchKind::kJob ? launch_job(form) : launch_pty(form);
    form = LaunchForm();
    give_back_heap(mark, false);
    if (!launch) {
      write_reply(error_reply(std::move(launch).error()));
      return;
    }
    serve_run(make_terminal_run(std::move(launch).value(), raw_output));
    return;
  }
  auto launch = launch_pipeline(form);
  form = LaunchForm();
  give_back_heap(mark, false);
  if (!launch) {
    write_reply(error_reply(std::move(launch).error()));
    return;
  }
  serve_run(make_pipeline_run(std::move(launch).value()));
}

}  // namespace zelta
