#include "supervise/pipeline_run.h"

#include <sys/wait.h>

#include <string_view>
#include <vector>

#include "protocol/json_escape.h"
#include "protocol/messages.h"
#include "service/output.h"
#include "supervise/capture_buffer.h"
#include "supervise/member_reaper.h"

namespace zelta {
namespace {

// Writes {"data":T,"run_id":R,"<stream>":T,"type":"<stream>"} where T is the
// concatenation of `texts`. The text goes out twice straight from the
// capture blocks, so no escaped or joined copy of a large stream is built.
void write_output_event(std::string_view stream, std::string_view run_id,
                        const std::vector<CaptureBuffer>& texts) {
  OutputLine line;
  auto write_text = [&] {
    line.append("\"", 1);
    for (const CaptureBuffer& text : texts) {
      text.for_each_piece([&](std::string_view piece) { write_json_string_body(line, piece); });
    }
    line.append("\"", 1);
  };
  static constexpr std::string_view kData = "{\"data\":";
  static constexpr std::string_view kRunId = ",\"run_id\":";
  line.append(kData.data(), kData.size());
  write_text();
  line.append(kRunId.data(), kRunId.size());
  write_json_string(line, run_id);
  line.append(",\"", 2);
  line.append(stream.data(), stream.size());
  line.append("\":", 2);
  write_text();
  static constexpr std::string_view kType = ",\"type\":\"";
  line.append(kType.data(), kType.size());
  line.append(stream.data(), stream.size());
  line.append("\"}", 2);
}

bool any_text(const std::vector<CaptureBuffer>& texts) {
  for (const CaptureBuffer& text : texts) {
    if (!text.empty()) return true;
  }
  return false;
}

}  // namespace

std::uint32_t pipeline_exit_code(int status) {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  return 1;
}

void supervise_pipeline_run(PipelineLaunch launch) {
  std::uint32_t exit_code = 0;
  for (PipelineChild& child : launch.children) {
    const std::optional<int> status = wait_for_child(child.pid);
    child.reaped = true;
    exit_code = status ? pipeline_exit_code(*status) : 1;
  }

  std::vector<CaptureBuffer> out;
  out.push_back(launch.stdout_capture.join());
  std::vector<CaptureBuffer> err;
  err.reserve(launch.stderr_captures.size());
  for (CaptureThread& capture : launch.stderr_captures) err.push_back(capture.join());

  if (any_text(out)) write_output_event("stdout", launch.run_id, out);
  out.clear();  // a large standard output is released before the next event
  if (any_text(err)) write_output_event("stderr", launch.run_id, err);
  err.clear();
  write_event(exit_event(launch.run_id, exit_code));
  flush_stdout();
}

}  // namespace zelta
