#include "service/run_handler.h"

#include <utility>

#include "launch/pipeline_launch.h"
#include "launch/pty_launch.h"
#include "protocol/output.h"
#include "supervise/pipeline_run.h"
#include "supervise/pty_run.h"
#include "tree/lower.h"

namespace zelta {

void serve_run_ast(const Request& request) {
  auto form = lower_run_ast(request);
  if (!form) {
    write_reply(error_reply(std::move(form).error()));
    return;
  }
  if (form->type == "execute") {
    auto launch = launch_pty(*form);
    if (!launch) {
      write_reply(error_reply(std::move(launch).error()));
      return;
    }
    supervise_pty_run(std::move(launch).value());
    return;
  }
  auto launch = launch_pipeline(*form);
  if (!launch) {
    write_reply(error_reply(std::move(launch).error()));
    return;
  }
  supervise_pipeline_run(std::move(launch).value());
}

}  // namespace zelta
