// Several runs at once in one executor ("concurrent"): runs go on side by
// side while requests are answered, each control request reaches the run it
// names, and every run leaves nothing behind, with 1 and with 100 runs live.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "executor_process.h"
#include "run_requests.h"

namespace zelta::testing {
namespace {

using nlohmann::json;

// What the lines read so far say about each run.
struct RunView {
  std::string output;  // "stdout" text (or "stderr" text after "|")
  std::optional<int> exit_code;
  pid_t child = 0;
};

class Concurrent {
 public:
  Concurrent() {
    executor_.send_line(R"({"type":"hello","extensions":["concurrent"]})");
    const json reply = json::parse(executor_.next_line());
    EXPECT_NE(std::find(reply["extensions"].begin(), reply["extensions"].end(), "concurrent"),
              reply["extensions"].end());
    baseline_fds_ = executor_.open_fds();
  }

  ExecutorProcess& executor() { return executor_; }
  RunView& run(const std::string& id) { return runs_[id]; }

  // Sends a "run.ast" and reads what it produces at once: its "recv", and
  // its "started" or error reply (events of other runs may come between);
  // returns the error text, if any.
  std::string start(const std::string& request, bool terminal = true) {
    const std::string id = json::parse(request)["run_id"];
    if (runs_[id].exit_code) runs_[id] = RunView();  // an identity used again
    executor_.send_line(request);
    bool received = false;
    EXPECT_TRUE(read_until([&] { return received; },
                           [&](const json& line) {
                             received =
                                 line.value("type", "") == "recv" && line.value("run_id", "") == id;
                           }));
    if (!terminal) return "";
    std::string error;
    bool answered = false;
    EXPECT_TRUE(read_until([&] { return answered; },
                           [&](const json& line) {
                             if (line.contains("error")) error = line["error"];
                             answered =
                                 line.contains("error") || (line.value("type", "") == "started" &&
                                                            line.value("run_id", "") == id);
                           }));
    return error;
  }

  // Reads one line and files it under its run; returns it.
  json take(const std::string& text) {
    json line = json::parse(text, nullptr, false);
    EXPECT_FALSE(line.is_discarded()) << text;
    if (!line.is_object() || !line.contains("run_id")) return line;
    RunView& view = runs_[line["run_id"].get<std::string>()];
    const std::string type = line.value("type", "");
    if (type == "stdout") view.output += line["stdout"].get<std::string>();
    if (type == "stderr") view.output += "|" + line["stderr"].get<std::string>();
    if (type == "started") view.child = line["child_pid"].get<pid_t>();
    if (type == "exit") view.exit_code = line["exit_code"].get<int>();
    return line;
  }

  // Reads until `done` holds, each line also shown to `seen`; false when
  // nothing more arrives first.
  template <typename Done, typename Seen = void (*)(const json&)>
  bool read_until(
      Done&& done, Seen&& seen = [](const json&) {}) {
    while (!done()) {
      auto text = executor_.read_line();
      if (!text) return false;
      seen(take(*text));
    }
    return true;
  }

  bool output_contains(const std::string& id, const std::string& text) {
    return read_until([&] { return runs_[id].output.find(text) != std::string::npos; });
  }
  bool ended(const std::string& id) {
    return read_until([&] { return runs_[id].exit_code.has_value(); });
  }

  // Nothing left behind: the descriptors of the start and no child.
  void expect_clean() {
    EXPECT_EQ(executor_.open_fds(), baseline_fds_);
    EXPECT_TRUE(executor_.children().empty());
  }

 private:
  ExecutorProcess executor_;
  std::vector<std::string> baseline_fds_;
  std::map<std::string, RunView> runs_;
};

std::string keys(const std::string& id, const std::string& data) {
  return control_request("stdin.write", id, {{"data", data}});
}

TEST(ServiceLoopConcurrent, RunsGoOnSideBySideWhileRequestsAreAnswered) {
  Concurrent c;
  EXPECT_EQ(c.start(command_request("a", "cat")), "");
  EXPECT_EQ(c.start(command_request("b", "cat")), "");
  // A second run under a live identity is refused, and nothing else changes.
  EXPECT_EQ(c.start(command_request("a", "true")), "Duplicate run_id");
  // Files, globs and a collected pipeline are answered while both live.
  c.executor().send_line(R"({"type":"read_file","path":"/dev/null"})");
  EXPECT_EQ(c.executor().next_line(), R"({"exit_code":0,"content":""})");
  if (pipelines_available(c.executor())) {
    c.start(pipeline_request("p", {{"printf", "b\\na\\n"}, {"sort"}}), false);
    ASSERT_TRUE(c.ended("p"));
    EXPECT_EQ(c.run("p").output, "a\nb\n");
  }
  // Keystrokes reach the run they name; one for no live run is dropped.
  c.executor().send_line(keys("b", "to-b\n"));
  c.executor().send_line(keys("nobody", "lost\n"));
  c.executor().send_line(control_request("run.resize", "nobody", {{"rows", 5}}));
  c.executor().send_line(keys("a", "to-a\n"));
  ASSERT_TRUE(c.output_contains("a", "to-a"));
  ASSERT_TRUE(c.output_contains("b", "to-b"));
  EXPECT_EQ(c.run("a").output.find("to-b"), std::string::npos);
  EXPECT_EQ(c.run("b").output.find("to-a"), std::string::npos);
  // One run's end leaves the other live; its identity is free again.
  c.executor().send_line(control_request("run.signal", "a", {{"signal", "KILL"}}));
  ASSERT_TRUE(c.ended("a"));
  EXPECT_EQ(c.start(command_request("a", "sh", {"-c", "echo again"})), "");
  ASSERT_TRUE(c.ended("a"));
  EXPECT_EQ(c.run("a").output.find("again"), c.run("a").output.rfind("again"));
  c.executor().send_line(keys("b", "still\n"));
  ASSERT_TRUE(c.output_contains("b", "still"));
  EXPECT_FALSE(c.run("b").exit_code);
  c.executor().send_line(control_request("run.signal", "b", {{"signal", "TERM"}}));
  ASSERT_TRUE(c.ended("b"));
  EXPECT_EQ(*c.run("b").exit_code, 128 + SIGTERM);
  c.expect_clean();
  c.executor().close_stdin();
  EXPECT_EQ(c.executor().wait_exit(), 0);
}

TEST(ServiceLoopConcurrent, AHundredTerminalsLiveEachTypedIntoAndNothingLeftBehind) {
  Concurrent c;
  constexpr int kRuns = 100;
  for (int i = 0; i < kRuns; ++i) {
    ASSERT_EQ(c.start(command_request("t" + std::to_string(i), "cat")), "");
  }
  // Typed in reverse order, each echo arrives on its own run.
  for (int i = kRuns - 1; i >= 0; --i) {
    c.executor().send_line(keys("t" + std::to_string(i), "k" + std::to_string(i) + "\n"));
  }
  for (int i = 0; i < kRuns; ++i) {
    const std::string id = "t" + std::to_string(i);
    ASSERT_TRUE(c.output_contains(id, "k" + std::to_string(i) + "\r\n")) << id;
  }
  for (int i = 0; i < kRuns; ++i) {
    c.executor().send_line(
        control_request("run.signal", "t" + std::to_string(i), {{"signal", "KILL"}}));
  }
  for (int i = 0; i < kRuns; ++i) ASSERT_TRUE(c.ended("t" + std::to_string(i)));
  c.expect_clean();
}

TEST(ServiceLoopConcurrent, AFloodDoesNotHoldUpAnotherRunAndPipelinesRunBesideTerminals) {
  Concurrent c;
  ASSERT_EQ(c.start(command_request("flood1", "yes")), "");
  ASSERT_EQ(c.start(command_request("flood2", "yes", {"zzz"})), "");
  const bool pipelines = pipelines_available(c.executor());
  if (pipelines) {
    c.start(pipeline_request("s", {{"sh", "-c", "read x; echo got $x; echo e >&2"}, {"cat"}},
                             {{"stream", true}}),
            false);
  }
  ASSERT_EQ(c.start(command_request("typist", "cat")), "");
  c.executor().send_line(keys("typist", "hello\n"));
  ASSERT_TRUE(c.output_contains("typist", "hello\r\n"));
  ASSERT_TRUE(c.output_contains("flood1", "y\r\n"));
  ASSERT_TRUE(c.output_contains("flood2", "zzz\r\n"));
  for (const char* id : {"flood1", "flood2", "typist"}) {
    c.executor().send_line(control_request("run.signal", id, {{"signal", "KILL"}}));
  }
  if (pipelines) {
    // A pipeline on pipes reads /dev/null: the member's read ends at once.
    ASSERT_TRUE(c.ended("s"));
    // Its two streams are separate pipes: either may come first.
    EXPECT_EQ(c.run("s").output.size(), 7u);
    EXPECT_NE(c.run("s").output.find("got\n"), std::string::npos);
    EXPECT_NE(c.run("s").output.find("|e\n"), std::string::npos);
  }
  for (const char* id : {"flood1", "flood2", "typist"}) ASSERT_TRUE(c.ended(id));
  c.expect_clean();
}

TEST(ServiceLoopConcurrent, InputEndWaitsForLiveRunsAndTheirEnds) {
  Concurrent c;
  ASSERT_EQ(c.start(command_request("late", "sh", {"-c", "sleep 0.3; echo late"})), "");
  c.executor().send_line(R"({"type":"run.pause","run_id":"late"})");
  // The last line, without its line feed, is served when the input ends.
  c.executor().send(command_request("last", "sh", {"-c", "echo last"}));
  c.executor().close_stdin();
  ASSERT_TRUE(c.ended("late"));
  ASSERT_TRUE(c.ended("last"));
  EXPECT_NE(c.run("late").output.find("late"), std::string::npos);
  EXPECT_NE(c.run("last").output.find("last"), std::string::npos);
  EXPECT_TRUE(c.executor().stdout_closed());
  EXPECT_EQ(c.executor().wait_exit(), 0);
}

TEST(ServiceLoopConcurrent, FrontEndGoneEndsEveryLiveRun) {
  Concurrent c;
  std::vector<pid_t> children;
  for (const char* id : {"x", "y", "z"}) {
    ASSERT_EQ(c.start(command_request(id, "sleep", {"1000"})), "");
    children.push_back(c.run(id).child);
  }
  if (pipelines_available(c.executor())) {
    c.start(pipeline_request("p", {{"sleep", "1000"}, {"cat"}}), false);
  }
  c.executor().close_stdout();
  EXPECT_EQ(c.executor().wait_exit(), 0);
  for (pid_t child : children) EXPECT_EQ(ExecutorProcess::process_state(child), 0) << child;
}

TEST(ServiceLoopConcurrent, RunsBeyondTheMostAreRefused) {
  if (kSanitizerBuild) GTEST_SKIP() << "256 terminals are too slow under a sanitizer";
  Concurrent c;
  constexpr int kMost = 256;
  for (int i = 0; i < kMost; ++i) {
    ASSERT_EQ(c.start(command_request("m" + std::to_string(i), "cat")), "") << i;
  }
  EXPECT_EQ(c.start(command_request("one-more", "cat")), "Too many runs");
  for (int i = 0; i < kMost; ++i) {
    c.executor().send_line(
        control_request("run.signal", "m" + std::to_string(i), {{"signal", "KILL"}}));
  }
  for (int i = 0; i < kMost; ++i) ASSERT_TRUE(c.ended("m" + std::to_string(i)));
  c.expect_clean();
}

}  // namespace
}  // namespace zelta::testing
