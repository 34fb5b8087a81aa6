// A few hundred mixed requests against one executor: every request is
// answered as it should be, and afterwards the executor holds the same
// descriptors, has no child, left no here-document file and uses about the
// memory it used before. The full-size version is bench/scenarios/soak.py.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "executor_process.h"
#include "run_requests.h"

namespace zelta::testing {
namespace {

using nlohmann::json;

constexpr int kSteps = 320;
constexpr int kKinds = 14;
constexpr std::size_t kLargeWrite = 256 * 1024;

class Soak {
 public:
  Soak() : executor_(options()) {
    input_ = scratch_.write_file("input.txt", "line one\nline two\n");
    pipelines_ = pipelines_available(executor_);
  }

  ExecutorProcess& executor() { return executor_; }
  const std::string& tmpdir() const { return tmp_.path(); }

  // Serves request number `i`; the kind cycles through the whole mix.
  void step(int i) {
    const std::string id = "s" + std::to_string(i);
    const int kind = i % kKinds;
    if (kind >= 12 && !pipelines_) return;
    switch (kind) {
      case 0:
        expect_run(command_request(id, "true"), 0, "");
        break;
      case 1: {
        json redirects = json::array({redirect("Output", scratch_.path() + "/out.txt"),
                                      redirect("Append", scratch_.path() + "/log.txt", 2),
                                      redirect("Input", input_)});
        expect_run(command_request(id, "sh", {"-c", "cat; echo err >&2"}, redirects), 0, "");
        break;
      }
      case 2: {
        json redirects = json::array({redirect("HereDoc", "doc\n"), redirect("HereString", "s")});
        expect_run(command_request(id, "cat", {}, redirects, here_env()), 0, "s\r\n");
        break;
      }
      case 3: {
        json redirects = json::array({redirect("HereDocDash", "\tdash\n")});
        expect_run(command_request(id, "cat", {}, redirects, here_env()), 0, "\tdash\r\n");
        break;
      }
      case 4:
        expect_run(command_request(id, "zelta-no-such-program"), 127,
                   "zelta-no-such-program: command not found\r\n");
        break;
      case 5:
        signal_run(id, i % 3 == 0 ? "TERM" : (i % 3 == 1 ? "KILL" : "INT"));
        break;
      case 6:
        flush_run(id);
        break;
      case 7:
        large_write_run(id);
        break;
      case 8:
        executor_.send_line(json{{"type", "read_file"}, {"path", input_}}.dump());
        EXPECT_EQ(executor_.next_line(), R"({"exit_code":0,"content":"line one\nline two\n"})");
        break;
      case 9:
        executor_.send_line(
            json{{"type", "glob"}, {"patterns", {"*.txt"}}, {"cwd", scratch_.path()}}.dump());
        EXPECT_EQ(json::parse(executor_.next_line()).value("exit_code", -1), 0);
        break;
      case 10:
        executor_.send_line(i % 4 == 0 ? "not json" : R"({"type":"glob","rows":"24"})");
        EXPECT_EQ(executor_.next_line(), R"({"exit_code":1,"error":"Parse error"})");
        break;
      case 11:
        executor_.send_line(control_request("stdin.write", id, {{"data", "late"}}));
        EXPECT_EQ(executor_.next_line(), R"({"exit_code":1,"error":"Unknown: stdin.write"})");
        break;
      case 12: {
        RunOutcome run = run_to_end(pipeline_request(
            id, {{"sh", "-c", "echo a; echo e1 >&2"}, {"sh", "-c", "cat; echo e2 >&2"}}));
        EXPECT_EQ(run.stdout_text, "a\n");
        EXPECT_EQ(run.stderr_text, "e1\ne2\n");
        EXPECT_EQ(run.exit_code, 0);
        break;
      }
      case 13: {
        RunOutcome run = run_to_end(pipeline_request(id, {{"true"}, {"zelta-no-such-program"}}));
        EXPECT_EQ(run.error.rfind("spawn failed: ", 0), 0u) << run.error;
        break;
      }
    }
  }

 private:
  static ExecutorOptions options() { return {}; }

  json here_env() const { return {{"env", {{"TMPDIR", tmp_.path()}}}}; }

  RunOutcome run_to_end(const std::string& line) {
    executor_.send_line(line);
    return read_run(executor_);
  }

  void expect_run(const std::string& line, int exit_code, const std::string& output) {
    RunOutcome run = run_to_end(line);
    EXPECT_EQ(run.exit_code, exit_code) << line;
    EXPECT_EQ(run.stdout_text, output) << line;
  }

  // Starts a long command and waits for its "started" event.
  void start(const std::string& line) {
    executor_.send_line(line);
    executor_.read_until("\"type\":\"started\"");
  }

  void signal_run(const std::string& id, const char* name) {
    start(command_request(id, "sleep", {"30"}, json::array(), here_env()));
    executor_.send_line(control_request("run.signal", id, {{"signal", name}}));
    const int expected = std::string(name) == "TERM"   ? 143
                         : std::string(name) == "KILL" ? 137
                                                       : 130;
    EXPECT_EQ(read_run(executor_).exit_code, expected);
  }

  void flush_run(const std::string& id) {
    start(command_request(id, "sh", {"-c", "echo ready; exec sleep 30"}));
    read_output_until(executor_, "ready");
    executor_.send_line(control_request("stream.flush", id, {{"timeout_ms", 50}}));
    executor_.send_line(control_request("run.signal", id, {{"signal", "KILL"}}));
    EXPECT_EQ(read_run(executor_).exit_code, 137);
  }

  void large_write_run(const std::string& id) {
    const std::string count = std::to_string(kLargeWrite);
    start(command_request(id, "sh",
                          {"-c", "stty raw -echo; echo ready; head -c " + count + " | wc -c"}));
    read_output_until(executor_, "ready");
    executor_.send_line(
        control_request("stdin.write", id, {{"data", std::string(kLargeWrite, 'w')}}));
    RunOutcome run = read_run(executor_);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(run.stdout_text.find(count), std::string::npos) << run.stdout_text;
  }

  ScratchDirectory scratch_;
  ScratchDirectory tmp_;
  ExecutorProcess executor_;
  std::string input_;
  bool pipelines_ = false;
};

TEST(SoakE2E, MixedRequestsLeaveNothingBehind) {
  Soak soak;
  ExecutorProcess& executor = soak.executor();
  const auto fds_before = executor.open_fds();
  // One round of every kind first, so buffers and caches reach their working
  // size before memory is measured. A pipeline whose launch failed leaves
  // its started members' captures to finish in the background, so their
  // descriptors may close a little after the reply.
  for (int i = 0; i < kKinds; ++i) soak.step(i);
  EXPECT_TRUE(eventually([&] { return executor.open_fds() == fds_before; }));
  const long rss_before = resident_kib(executor.pid());

  for (int i = kKinds; i < kSteps && !::testing::Test::HasFailure(); ++i) soak.step(i);

  // Still serving; once this is answered the last run has released all it
  // held.
  executor.send_line(R"({"type":"process_subst"})");
  EXPECT_NE(executor.next_line().find("\"exit_code\":0"), std::string::npos);

  EXPECT_TRUE(eventually([&] { return executor.open_fds() == fds_before; }));
  EXPECT_EQ(executor.open_fds(), fds_before);
  EXPECT_TRUE(eventually([&] { return executor.children().empty(); }));
  EXPECT_TRUE(directory_entries(soak.tmpdir()).empty());
  const long rss_after = resident_kib(executor.pid());
  std::printf("soak: %d requests, rss %ld KiB -> %ld KiB, %zu descriptors\n", kSteps, rss_before,
              rss_after, fds_before.size());
  if (kResidentMemoryIsMeaningful) {
    EXPECT_LT(rss_after, rss_before + 2048);
  }
}

}  // namespace
}  // namespace zelta::testing
