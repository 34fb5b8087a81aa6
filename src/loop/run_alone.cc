#include "loop/run_alone.h"

#include <utility>

#include "loop/event_loop.h"
#include "supervise/pipeline_run.h"
#include "supervise/terminal_run.h"

namespace zelta {

void supervise_pty_run(PtyLaunch launch, int input_fd, bool raw_output) {
  EventLoop loop(input_fd, nullptr);
  loop.run_alone(make_terminal_run(std::move(launch), raw_output));
}

void supervise_pipeline_run(PipelineLaunch launch, int input_fd) {
  EventLoop loop(input_fd, nullptr);
  loop.run_alone(make_pipeline_run(std::move(launch)));
}

}  // namespace zelta
