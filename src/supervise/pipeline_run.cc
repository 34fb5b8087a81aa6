#include "supervise/pipeline_run.h"

#include <sys/wait.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_buffer.h"
#include "capture/escaped_block.h"
#include "launch/member_reaper.h"
#include "protocol/json_escape.h"
#include "protocol/messages.h"
#include "protocol/output.h"
#include "supervise/collected_pipeline_run.h"
#include "supervise/exit_report.h"
#include "supervise/streamed_pipeline_run.h"

namespace zelta {
namespace {

// Gathers the many small pieces of escaped text (runs between escapes, the
// escapes themselves) into large ones before they reach the output line:
// appending here is an inline copy, and each gathered piece is large enough
// for the line to hand it to the operating system without copying it again.
class GatheringSink {
 public:
  explicit GatheringSink(OutputLine& line) : line_(line), buffer_(storage()) {}
  ~GatheringSink() { flush(); }
  GatheringSink(const GatheringSink&) = delete;
  GatheringSink& operator=(const GatheringSink&) = delete;

  void append(const char* data, std::size_t size) {
    if (size > kSize - used_) {
      flush();
      if (size >= kSize / 2) {
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
  // Larger than the output line's own buffer, so a gathered piece goes to the
  // operating system straight from here.
  static constexpr std::size_t kSize = 256 * 1024;
  // Static rather than on the stack: the events are written right after the
  // captures may have taken every byte of memory the process may have (they
  // stop only when none is left), when even growing the stack can fail. Only
  // the service thread writes events.
  static char* storage() {
    static char buffer[kSize];
    return buffer;
  }

  OutputLine& line_;
  char* buffer_;
  std::size_t used_ = 0;
};

bool any_text(const std::vector<CaptureBuffer>& texts) {
  for (const CaptureBuffer& text : texts) {
    if (!text.empty()) return true;
  }
  return false;
}

// Writes one copy of the text held in `texts`.
void write_text(GatheringSink& sink, std::vector<CaptureBuffer>& texts) {
  for (CaptureBuffer& text : texts) {
    for (const HeldBlock& block : text.blocks()) {
      if (block.escaped) {
        sink.pass_through(block.bytes.view());
      } else {
        write_json_string_body(sink, block.bytes.view());
      }
    }
  }
}

// True when the text held in `texts` ends with a line feed (escaped, that
// is "\\n" after an even number of backslashes).
bool ends_with_line_feed(std::vector<CaptureBuffer>& texts) {
  const HeldBlock* last = nullptr;
  for (CaptureBuffer& text : texts) {
    for (const HeldBlock& block : text.blocks()) {
      if (block.bytes.size() != 0) last = &block;
    }
  }
  if (last == nullptr) return false;
  const std::string_view text = last->bytes.view();
  if (!last->escaped) return text.back() == '\n';
  if (text.size() < 2 || text.back() != 'n') return false;
  std::size_t backslashes = 0;
  for (std::size_t i = text.size() - 1; i > 0 && text[i - 1] == '\\'; --i) ++backslashes;
  return backslashes % 2 == 1;
}

// Writes {"data":T,"run_id":R,"<stream>":T,"type":"<stream>"} where T is the
// concatenation of `texts` and then `notice`; `texts` are consumed. The text
// is written twice from the blocks that hold it, mostly already escaped by the
// capture, and each block is given back once written the second time; no
// joined or whole escaped copy of a large stream is ever built, and nothing
// is allocated but the escaped form of blocks the capture left raw.
void write_output_event(std::string_view stream, std::string_view run_id,
                        std::vector<CaptureBuffer>& texts, std::string notice = {}) {
  for (CaptureBuffer& text : texts) {
    for (HeldBlock& block : text.blocks()) {
      // A capture escapes its blocks as they fill; one not escaped yet is
      // escaped here once rather than once per copy.
      if (!block.escaped && block.bytes.size() != 0) block = hold_escaped(std::move(block.bytes));
    }
  }
  // A notice starts on a line of its own.
  if (!notice.empty() && any_text(texts) && !ends_with_line_feed(texts)) notice = "\n" + notice;
  OutputLine line;
  GatheringSink sink(line);
  sink.append("{\"data\":\"");
  write_text(sink, texts);
  write_json_string_body(sink, notice);
  sink.append("\",\"run_id\":");
  write_json_string(sink, run_id);
  sink.append(",\"");
  sink.append(stream);
  sink.append("\":\"");
  for (CaptureBuffer& text : texts) {
    for (HeldBlock& block : text.blocks()) {
      if (block.escaped) {
        sink.pass_through(block.bytes.view());
      } else {
        write_json_string_body(sink, block.bytes.view());
      }
      block.bytes.reset();
    }
  }
  write_json_string_body(sink, notice);
  sink.append("\",\"type\":\"");
  sink.append(stream);
  sink.append("\"}");
}

}  // namespace

std::string output_cut_notice(std::string_view stream, std::size_t kept, std::size_t dropped) {
  std::string notice = "[zelta-stdio] ";
  notice.append(stream);
  notice += " truncated: kept " + std::to_string(kept) + " bytes, dropped " +
            std::to_string(dropped) + " bytes (out of memory)\n";
  return notice;
}

std::uint32_t pipeline_exit_code(int status) {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  return 1;
}

void write_pipeline_report(std::string_view run_id, std::vector<CaptureBuffer>& out,
                           std::vector<CaptureBuffer>& err, std::string notice,
                           std::uint32_t exit_code, std::optional<int> last_status) {
  // A stream cut for lack of memory is reported at the end of "stderr".
  if (!out.empty() && out[0].truncated()) {
    notice += output_cut_notice("stdout", out[0].size(), out[0].discarded());
  }
  for (std::size_t i = 0; i < err.size(); ++i) {
    if (!err[i].truncated()) continue;
    notice += output_cut_notice("stderr of command " + std::to_string(i + 1), err[i].size(),
                                err[i].discarded());
  }
  if (any_text(out)) write_output_event("stdout", run_id, out);
  out.clear();  // a large standard output is released before the next event
  if (any_text(err) || !notice.empty())
    write_output_event("stderr", run_id, err, std::move(notice));
  err.clear();
  write_exit_event(run_id, exit_code, last_status);
}

std::unique_ptr<Run> make_pipeline_run(PipelineLaunch launch) {
  if (launch.streamed) return std::make_unique<StreamedPipelineRun>(std::move(launch));
  return std::make_unique<CollectedPipelineRun>(std::move(launch));
}

}  // namespace zelta
