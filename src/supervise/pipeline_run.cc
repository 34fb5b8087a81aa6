#include "supervise/pipeline_run.h"

#include <sys/wait.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "launch/capture_buffer.h"
#include "launch/escaped_block.h"
#include "launch/member_reaper.h"
#include "protocol/json_escape.h"
#include "protocol/messages.h"
#include "protocol/output.h"
#include "supervise/front_end_watch.h"

namespace zelta {
namespace {

// Gathers the many small pieces of escaped text (runs between escapes, the
// escapes themselves) into large ones before they reach the output line:
// appending here is an inline copy, and each gathered piece is large enough
// for the line to hand it to the operating system without copying it again.
class GatheringSink {
 public:
  explicit GatheringSink(OutputLine& line) : line_(line) {}
  ~GatheringSink() { flush(); }
  GatheringSink(const GatheringSink&) = delete;
  GatheringSink& operator=(const GatheringSink&) = delete;

  void append(const char* data, std::size_t size) {
    if (size > sizeof buffer_ - used_) {
      flush();
      if (size >= sizeof buffer_ / 2) {
        line_.append(data, size);
        return;
      }
    }
    std::memcpy(buffer_ + used_, data, size);
    used_ += size;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }

  /// Writes a large piece straight from the caller's memory.
  void pass_through(std::string_view text) {
    flush();
    line_.append(text.data(), text.size());
  }

  void flush() {
    if (used_ != 0) line_.append(buffer_, used_);
    used_ = 0;
  }

 private:
  OutputLine& line_;
  std::size_t used_ = 0;
  // Larger than the output line's own buffer, so a gathered piece goes to the
  // operating system straight from here.
  char buffer_[256 * 1024];
};

// Writes one copy of the text held in `blocks`.
void write_text(GatheringSink& sink, const std::vector<HeldBlock>& blocks) {
  for (const HeldBlock& block : blocks) {
    if (block.escaped) {
      sink.pass_through(block.bytes.view());
    } else {
      write_json_string_body(sink, block.bytes.view());
    }
  }
}

// Writes {"data":T,"run_id":R,"<stream>":T,"type":"<stream>"} where T is the
// concatenation of `texts`, which are consumed. The text is written twice
// from the blocks that hold it, mostly already escaped by the capture, and
// each block is given back once written the second time; no joined or whole
// escaped copy of a large stream is ever built.
void write_output_event(std::string_view stream, std::string_view run_id,
                        std::vector<CaptureBuffer>& texts) {
  std::vector<HeldBlock> blocks;
  for (CaptureBuffer& text : texts) {
    for (HeldBlock& block : text.take_blocks()) {
      if (block.bytes.size() == 0) continue;
      // A capture escapes its blocks as they fill; one not escaped yet is
      // escaped here once rather than once per copy.
      if (!block.escaped) block = hold_escaped(std::move(block.bytes));
      blocks.push_back(std::move(block));
    }
  }
  OutputLine line;
  GatheringSink sink(line);
  sink.append("{\"data\":\"");
  write_text(sink, blocks);
  sink.append("\",\"run_id\":");
  write_json_string(sink, run_id);
  sink.append(",\"");
  sink.append(stream);
  sink.append("\":\"");
  for (HeldBlock& block : blocks) {
    if (block.escaped) {
      sink.pass_through(block.bytes.view());
    } else {
      write_json_string_body(sink, block.bytes.view());
    }
    block.bytes.reset();
  }
  sink.append("\",\"type\":\"");
  sink.append(stream);
  sink.append("\"}");
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
    const WatchedWait wait = wait_watching_front_end(child.pid);
    if (wait.outcome == WatchedWait::Outcome::kFrontEndGone) {
      // Nobody can see the output any more: end the members rather than
      // wait for them, and let the executor leave.
      std::vector<pid_t> left;
      for (PipelineChild& member : launch.children) {
        if (!member.reaped) left.push_back(member.pid);
        member.reaped = true;
      }
      end_abandoned_members(left);
      return;
    }
    child.reaped = true;
    exit_code = wait.outcome == WatchedWait::Outcome::kExited ? pipeline_exit_code(wait.status) : 1;
  }

  // A process the members left behind may hold a pipe open for any time;
  // the captures still unjoined on return are left to finish on their own.
  std::vector<CaptureBuffer> out(1);
  if (!join_watching_front_end(launch.stdout_capture, out[0])) return;
  std::vector<CaptureBuffer> err(launch.stderr_captures.size());
  for (std::size_t i = 0; i < err.size(); ++i) {
    if (!join_watching_front_end(launch.stderr_captures[i], err[i])) return;
  }

  if (any_text(out)) write_output_event("stdout", launch.run_id, out);
  out.clear();  // a large standard output is released before the next event
  if (any_text(err)) write_output_event("stderr", launch.run_id, err);
  err.clear();
  write_event(exit_event(launch.run_id, exit_code));
  flush_stdout();
}

}  // namespace zelta
