// Benchmark driver for terminal runs: starts a program with its standard
// streams on pipes and times how long its output takes to reach an "exit"
// line. Modes:
//   executor-throughput EXECUTOR FILE   -> "<seconds> <peak KiB of the executor>"
//   executor-raw-throughput EXECUTOR FILE -> the same with "raw_output": true
//   baseline-throughput BASELINE FILE   -> "<seconds>"  (runs BASELINE cat FILE)
//   executor-latency EXECUTOR RUNS      -> "<median us> <p99 us>" for `true`
//   executor-request-latency EXECUTOR RUNS LINE -> the same for the request LINE
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
};

Child spawn(std::vector<std::string> args) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) std::exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::exit(1);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  child.in = in[1];
  child.out = out[0];
  return child;
}

void send(const Child& child, const std::string& line) {
  const char* p = line.data();
  std::size_t n = line.size();
  while (n > 0) {
    ssize_t w = write(child.in, p, n);
    if (w <= 0) std::exit(1);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

// Reads until the output so far ends with an exit line; returns the bytes read.
std::size_t read_until_exit(const Child& child) {
  static std::vector<char> buffer(1 << 20);
  static const std::string kEnd = "\"type\":\"exit\"}\n";
  std::string tail;
  std::size_t total = 0;
  while (true) {
    ssize_t n = read(child.out, buffer.data(), buffer.size());
    if (n <= 0) return total;
    total += static_cast<std::size_t>(n);
    tail.append(buffer.data(), static_cast<std::size_t>(n));
    if (tail.size() > 64) tail.erase(0, tail.size() - 64);
    if (tail.size() >= kEnd.size() &&
        tail.compare(tail.size() - kEnd.size(), kEnd.size(), kEnd) == 0) {
      return total;
    }
  }
}

void finish(Child& child) {
  close(child.in);
  close(child.out);
  waitpid(child.pid, nullptr, 0);
}

long peak_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::string run_request(const std::string& command, const std::vector<std::string>& args,
                        bool raw_output = false) {
  std::string list;
  for (const auto& a : args) list += (list.empty() ? "\"" : ",\"") + a + "\"";
  return std::string("{\"type\":\"run.ast\",\"run_id\":\"b\",") +
         (raw_output ? "\"raw_output\":true," : "") + "\"ast\":{\"Command\":{\"name\":\"" +
         command + "\",\"args\":[" + list + "],\"single_quoted_args\":[],\"redirects\":[]}}}\n";
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  std::string mode = argv[1];
  if (mode == "executor-throughput" || mode == "executor-raw-throughput") {
    Child child = spawn({argv[2]});
    auto start = Clock::now();
    send(child, run_request("cat", {argv[3]}, mode == "executor-raw-throughput"));
    read_until_exit(child);
    double seconds = seconds_since(start);
    long peak = peak_kib(child.pid);
    finish(child);
    std::printf("%.4f %ld\n", seconds, peak);
  } else if (mode == "baseline-throughput") {
    auto start = Clock::now();
    Child child = spawn({argv[2], "cat", argv[3]});
    read_until_exit(child);
    double seconds = seconds_since(start);
    finish(child);
    std::printf("%.4f\n", seconds);
  } else if (mode == "executor-latency" || mode == "executor-request-latency") {
    int runs = std::atoi(argv[3]);
    if (runs <= 0) return 2;
    Child child = spawn({argv[2]});
    std::string request = run_request("true", {});
    if (mode == "executor-request-latency") {
      if (argc < 5) return 2;
      request = std::string(argv[4]) + "\n";
    }
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
      auto start = Clock::now();
      send(child, request);
      read_until_exit(child);
      times.push_back(seconds_since(start) * 1e6);
    }
    finish(child);
    std::sort(times.begin(), times.end());
    std::printf("%.1f %.1f\n", times[times.size() / 2], times[times.size() * 99 / 100]);
  } else {
    return 2;
  }
  return 0;
}
