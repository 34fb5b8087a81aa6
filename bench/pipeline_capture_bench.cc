// Capture throughput of a two-member pipeline, end to end through the
// executor, against a minimal C program doing the same work, measured in the
// same run; and the executor's peak memory during the run.
//
// Usage: pipeline_capture_bench EXECUTOR BASELINE [BYTES] [ROUNDS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A log-like line: words, a quoted name and, at its end, the line feed that
// every line adds to the escaping work.
const char kLine[] = "2026-12-07 09:12:13 INFO worker[42]: processed item \"alpha\" in 3 ms";

struct Child {
  pid_t pid = -1;
  int in = -1;   // the child's standard input, or -1
  int out = -1;  // the child's standard output
};

Child start(std::vector<std::string> args, bool with_stdin) {
  int out[2], in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || (with_stdin && pipe2(in, O_CLOEXEC) != 0)) std::exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (with_stdin) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::perror("spawn");
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  child.out = out[0];
  if (with_stdin) {
    close(in[0]);
    child.in = in[1];
  }
  return child;
}

// Reads `fd` until `lines` line feeds have gone by (or to its end when
// `lines` is 0). Returns the number of bytes read; `first_read` (if given)
// receives the time the first bytes arrived.
std::size_t drain(int fd, int lines, Clock::time_point* first_read = nullptr) {
  static std::vector<char> buffer(1 << 20);
  std::size_t total = 0;
  int seen = 0;
  while (true) {
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n <= 0) break;
    if (total == 0 && first_read != nullptr) *first_read = Clock::now();
    total += static_cast<std::size_t>(n);
    for (const char* p = buffer.data();
         (p = static_cast<const char*>(std::memchr(p, '\n', buffer.data() + n - p))); ++p) {
      ++seen;
    }
    if (lines > 0 && seen >= lines) break;
  }
  return total;
}

long peak_rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string command_node(const std::string& name, const std::vector<std::string>& args) {
  std::string node = "{\"Command\":{\"name\":" + quoted(name) + ",\"args\":[";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i != 0) node += ',';
    node += quoted(args[i]);
  }
  return node + "],\"single_quoted_args\":[],\"redirects\":[]}}";
}

struct Sample {
  double seconds;
  double capture_seconds;  // until the first byte of the first event after "recv"
  std::size_t output_bytes;
  long peak_kib;
};

Sample run_executor(const std::string& executor, const std::string& bytes) {
  Child child = start({executor}, true);
  const std::string request = "{\"type\":\"run.ast\",\"run_id\":\"bench\",\"ast\":{\"Pipeline\":{" +
                              std::string("\"commands\":[") + command_node("yes", {kLine}) + "," +
                              command_node("head", {"-c", bytes}) + "]}}}\n";
  const auto begin = Clock::now();
  if (write(child.in, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    std::exit(1);
  }
  Clock::time_point events = begin;
  std::size_t output = drain(child.out, 1);  // "recv"
  output += drain(child.out, 2, &events);    // "stdout", "exit"
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  const double capture_seconds = std::chrono::duration<double>(events - begin).count();
  const long peak = peak_rss_kib(child.pid);
  close(child.in);
  drain(child.out, 0);
  close(child.out);
  waitpid(child.pid, nullptr, 0);
  return {seconds, capture_seconds, output, peak};
}

Sample run_baseline(const std::string& baseline, const char* mode, const std::string& bytes) {
  const auto begin = Clock::now();
  Child child = start({baseline, mode, kLine, bytes}, false);
  const std::size_t output = drain(child.out, 0);
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  close(child.out);
  waitpid(child.pid, nullptr, 0);
  return {seconds, seconds, output, 0};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s EXECUTOR BASELINE [BYTES] [ROUNDS]\n", argv[0]);
    return 2;
  }
  const std::string executor = argv[1];
  const std::string baseline = argv[2];
  const std::string bytes = argc > 3 ? argv[3] : "100000000";
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 7;
  const double captured = std::stod(bytes);

  std::vector<double> executor_times, executor_capture_times, event_times, capture_times;
  long peak_kib = 0;
  std::size_t executor_output = 0, event_output = 0;
  for (int round = 0; round < rounds; ++round) {
    Sample e = run_executor(executor, bytes);
    Sample b = run_baseline(baseline, "event", bytes);
    Sample c = run_baseline(baseline, "capture", bytes);
    executor_times.push_back(e.seconds);
    executor_capture_times.push_back(e.capture_seconds);
    event_times.push_back(b.seconds);
    capture_times.push_back(c.seconds);
    peak_kib = std::max(peak_kib, e.peak_kib);
    executor_output = e.output_bytes;
    event_output = b.output_bytes;
  }
  // The machine may be shared: the median shows the typical run, the best
  // of the alternating rounds what each side does when left alone.
  const double mb = captured / 1e6;
  auto rate = [&](const std::vector<double>& times, bool best) {
    return mb / (best ? *std::min_element(times.begin(), times.end()) : median(times));
  };
  std::printf("captured %.0f MB in a two-member pipeline; %d alternating rounds, median (best)\n",
              mb, rounds);
  std::printf("executor (capture + event line)    %7.1f MB/s (%7.1f)  output %zu bytes\n",
              rate(executor_times, false), rate(executor_times, true), executor_output);
  std::printf("  of which capture (to the event)  %7.3f s, writing %.3f s\n",
              median(executor_capture_times),
              median(executor_times) - median(executor_capture_times));
  std::printf("baseline (capture + event line)    %7.1f MB/s (%7.1f)  output %zu bytes\n",
              rate(event_times, false), rate(event_times, true), event_output);
  std::printf("baseline (capture alone)           %7.1f MB/s (%7.1f)\n", rate(capture_times, false),
              rate(capture_times, true));
  std::printf("ratio vs baseline with event line  %7.2f      (%7.2f)  target >= 0.9\n",
              rate(executor_times, false) / rate(event_times, false),
              rate(executor_times, true) / rate(event_times, true));
  std::printf("ratio vs capture alone             %7.2f      (%7.2f)  target >= 0.5\n",
              rate(executor_times, false) / rate(capture_times, false),
              rate(executor_times, true) / rate(capture_times, true));
  const double peak = static_cast<double>(peak_kib) * 1024;
  const double limit = 1.25 * captured + 8 * 1024 * 1024;
  std::printf("executor peak memory (VmHWM)       %7.1f MiB = %.2f x captured (limit %.1f MiB)\n",
              peak / (1 << 20), peak / captured, limit / (1 << 20));
  return 0;
}
