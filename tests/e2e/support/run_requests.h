// Request lines, event helpers and resource probes shared by the soak and
// fault-injection tests.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "executor_process.h"

namespace zelta::testing {

/// A "run.ast" line for a single Command; `extra` adds request fields.
std::string command_request(const std::string& run_id, const std::string& name,
                            const std::vector<std::string>& args = {},
                            const nlohmann::json& redirects = nlohmann::json::array(),
                            const nlohmann::json& extra = nlohmann::json::object());

/// A "run.ast" line for a Pipeline of plain commands (each a command word
/// followed by its arguments).
std::string pipeline_request(const std::string& run_id,
                             const std::vector<std::vector<std::string>>& members,
                             const nlohmann::json& extra = nlohmann::json::object());

/// A control line ("stdin.write", "run.signal", "stream.flush") for `run_id`.
std::string control_request(const std::string& type, const std::string& run_id,
                            const nlohmann::json& fields = nlohmann::json::object());

/// One redirection record.
nlohmann::json redirect(const char* kind, const std::string& file, int fd = -1);

/// The events of one run as read up to its "exit" event (inclusive), or up
/// to an error reply when the run was refused.
struct RunOutcome {
  std::vector<nlohmann::json> events;
  std::string stdout_text;
  std::string stderr_text;
  int exit_code = -1;  // from "exit"; -1 when there was none
  std::string error;   // the error reply's text, when the run was refused
};

/// Reads lines until the run's "exit" event or an error reply; records a
/// failure for a line that is not JSON or when nothing more arrives.
RunOutcome read_run(ExecutorProcess& executor, std::chrono::milliseconds timeout = kLineTimeout);

/// Reads lines until the "stdout" events among them, joined, contain `text`;
/// returns every line read. A terminal hands its output over in reads whose
/// boundaries it chooses (a line's text and its CR LF often come apart), so
/// a marker may arrive spread over several events. Records a failure when
/// the run ends or nothing more arrives first.
std::vector<std::string> read_output_until(ExecutorProcess& executor, const std::string& text,
                                           std::chrono::milliseconds timeout = kLineTimeout);

/// True when the executor launches pipelines (it answers a one-member
/// pipeline with a run rather than a refusal).
bool pipelines_available(ExecutorProcess& executor);

/// True when the tests and the executor are built with a sanitizer. Its
/// allocator holds freed memory back on purpose (resident memory then says
/// nothing), and its runtime needs descriptors of its own.
constexpr bool kSanitizerBuild =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif
constexpr bool kResidentMemoryIsMeaningful = !kSanitizerBuild;

/// Resident memory of process `pid` in KiB (VmRSS), or -1.
long resident_kib(pid_t pid);
/// The field `key` of /proc/PID/status in KiB ("VmRSS", "VmHWM" for the
/// peak, "VmSize"), or -1.
long status_kib(pid_t pid, const std::string& key);

/// Names in directory `path` other than "." and "..".
std::vector<std::string> directory_entries(const std::string& path);

class ScratchDirectory;

/// Options that start the executor as the unprivileged user 65534 (when the
/// tests run as root) from a copy of the built program in `dir`, which is
/// opened to everyone: the build tree may lie where that user cannot reach
/// (under /root, or in a directory made by mkdtemp). `wrapper` comes first
/// (for example a prlimit command line). Empty `why` on success; otherwise
/// it says what is missing.
ExecutorOptions unprivileged_options(const ScratchDirectory& dir, std::string& why,
                                     std::vector<std::string> wrapper = {});

/// A fresh directory under /tmp, removed with its files at the end.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }
  /// Writes `content` to the file `name` inside the directory; its path.
  std::string write_file(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

}  // namespace zelta::testing
