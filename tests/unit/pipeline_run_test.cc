// Pipelines launched and supervised in process, output read from a pipe.
#include "supervise/pipeline_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "launch/pipeline_launch.h"
#include "loop/run_alone.h"
#include "protocol/output.h"

namespace zelta {
namespace {

using namespace std::chrono_literals;
using Members = std::vector<std::vector<std::string>>;

// Redirects the protocol output to a pipe drained by a thread.
class OutputCollector {
 public:
  OutputCollector() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_fd_ = fds[0];
    write_fd_ = fds[1];
    set_output_fd_for_testing(write_fd_);
    reader_ = std::thread([this] {
      char chunk[65536];
      ssize_t n;
      while ((n = ::read(read_fd_, chunk, sizeof chunk)) > 0) text_.append(chunk, n);
    });
  }
  ~OutputCollector() { lines(); }

  std::vector<std::string> lines() {
    if (reader_.joinable()) {
      set_output_fd_for_testing(1);
      ::close(write_fd_);
      reader_.join();
      ::close(read_fd_);
    }
    std::vector<std::string> result;
    std::size_t start = 0, end;
    while ((end = text_.find('\n', start)) != std::string::npos) {
      result.push_back(text_.substr(start, end - start));
      start = end + 1;
    }
    return result;
  }

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
  std::string text_;
  std::thread reader_;
};

LaunchForm pipeline_form(const Members& members) {
  LaunchForm form;
  form.kind = LaunchKind::kCollectedPipeline;
  form.run_id = "r1";
  for (const auto& words : members) {
    form.commands.push_back({words.front(), {words.begin() + 1, words.end()}, {}});
  }
  return form;
}

// The output lines of one run: the error reply's text alone when the launch
// fails, the events otherwise.
std::vector<std::string> run(const LaunchForm& form) {
  OutputCollector output;
  auto launch = launch_pipeline(form);
  if (!launch) return {"error: " + launch.error()};
  supervise_pipeline_run(std::move(launch).value());
  return output.lines();
}

std::vector<std::string> run_members(const Members& members) { return run(pipeline_form(members)); }

std::string stdout_line(const std::string& text, const std::string& run_id = "r1") {
  const std::string quoted = nlohmann::json(text).dump();
  return "{\"data\":" + quoted + ",\"run_id\":\"" + run_id + "\",\"stdout\":" + quoted +
         ",\"type\":\"stdout\"}";
}
std::string stderr_line(const std::string& text) {
  const std::string quoted = nlohmann::json(text).dump();
  return "{\"data\":" + quoted + ",\"run_id\":\"r1\",\"stderr\":" + quoted +
         ",\"type\":\"stderr\"}";
}
std::string exit_line(int code, const std::string& run_id = "r1") {
  return "{\"exit_code\":" + std::to_string(code) + ",\"run_id\":\"" + run_id +
         "\",\"type\":\"exit\"}";
}

const std::string kEnoent = "error: spawn failed: No such file or directory (os error 2)";

std::vector<pid_t> own_children() {
  std::vector<pid_t> pids;
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (dirent* task = ::readdir(tasks)) {
      if (task->d_name[0] == '.') continue;
      std::ifstream file(std::string("/proc/self/task/") + task->d_name + "/children");
      pid_t pid;
      while (file >> pid) pids.push_back(pid);
    }
    ::closedir(tasks);
  }
  return pids;
}

int open_fd_count() {
  int count = 0;
  if (DIR* fds = ::opendir("/proc/self/fd")) {
    while (dirent* entry = ::readdir(fds)) count += entry->d_name[0] != '.';
    ::closedir(fds);
  }
  return count;
}

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A fresh directory, removed with its files at the end of the test.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/pipeline-test-XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  std::string write(const std::string& name, const std::string& content, mode_t mode) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file) << content;
    ::chmod(file.c_str(), mode);
    return file;
  }

 private:
  std::string path_;
};

class PipelineRunTest : public ::testing::Test {
 protected:
  void SetUp() override { fds_before_ = open_fd_count(); }
  void TearDown() override {
    fail_capture_starts_after_for_testing(-1);
    EXPECT_TRUE(eventually([] { return own_children().empty(); })) << "children left";
    EXPECT_TRUE(eventually([&] { return open_fd_count() == fds_before_; })) << "descriptors left";
  }
  int fds_before_ = 0;
};

TEST_F(PipelineRunTest, StderrInMemberOrderAndLastMembersExitCode) {
  // The second member writes its standard error before the first does.
  EXPECT_EQ(run_members({{"sh", "-c", "sleep 0.3; echo first >&2; echo x; exit 3"},
                         {"sh", "-c", "echo second >&2; cat; echo out; exit 5"}}),
            (std::vector<std::string>{stdout_line("x\nout\n"), stderr_line("first\nsecond\n"),
                                      exit_line(5)}));
  EXPECT_EQ(run_members({{"sh", "-c", "exit 7"}, {"true"}}),
            (std::vector<std::string>{exit_line(0)}));
}

TEST_F(PipelineRunTest, OneMemberReadsTheNullDevice) {
  EXPECT_EQ(run_members({{"cat"}}), (std::vector<std::string>{exit_line(0)}));
  EXPECT_EQ(run_members({{"sh", "-c", "read line; echo \"read=$?\""}}),
            (std::vector<std::string>{stdout_line("read=1\n"), exit_line(0)}));
}

TEST_F(PipelineRunTest, DefaultsAndTextEscaping) {
  LaunchForm form = pipeline_form({{"sh", "-c", "pwd; printf 'q\"\\\\ \\033 \\303\\251'"}});
  form.run_id = LaunchForm().run_id;  // the default
  EXPECT_EQ(run(form), (std::vector<std::string>{stdout_line("/tmp\nq\"\\ \x1b \xC3\xA9", "run-0"),
                                                 exit_line(0, "run-0")}));
}

TEST_F(PipelineRunTest, SignalDeathsAndEarlyReaders) {
  // head leaves after one line; yes dies of SIGPIPE on its next write.
  EXPECT_EQ(run_members({{"yes"}, {"head", "-n", "1"}}),
            (std::vector<std::string>{stdout_line("y\n"), exit_line(0)}));
  EXPECT_EQ(run_members({{"sh", "-c", "kill -KILL $$"}}), (std::vector<std::string>{exit_line(1)}));
}

TEST_F(PipelineRunTest, ChildrenStartWithDefaultSignalsAndOnlyThreeDescriptors) {
  EXPECT_EQ(
      run_members({{"sh", "-c", "grep -E '^Sig(Blk|Ign)' /proc/self/status"}}),
      (std::vector<std::string>{
          stdout_line("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"), exit_line(0)}));
  // ls's own directory stream is descriptor 3.
  EXPECT_EQ(run_members({{"ls", "/proc/self/fd"}}),
            (std::vector<std::string>{stdout_line("0\n1\n2\n3\n"), exit_line(0)}));
}

TEST_F(PipelineRunTest, BackgroundProcessHoldingThePipeKeepsTheRunOpen) {
  // "early" is written before the background process exists, so the order
  // does not depend on how soon either shell is scheduled.
  EXPECT_EQ(run_members({{"sh", "-c", "echo early; (sleep 1; echo late) &"}}),
            (std::vector<std::string>{stdout_line("early\nlate\n"), exit_line(0)}));
}

TEST_F(PipelineRunTest, IllFormedStreamIsRepairedAlone) {
  EXPECT_EQ(run_members({{"sh", "-c", "printf 'a\\377b'; printf 'err' >&2; exit 4"}}),
            (std::vector<std::string>{stdout_line("a\xEF\xBF\xBD"
                                                  "b"),
                                      stderr_line("err"), exit_line(4)}));
  // Each member's standard error is decoded on its own: a sequence cut off
  // at the end of one does not join the next.
  EXPECT_EQ(
      run_members({{"sh", "-c", "printf 'x\\303' >&2"}, {"sh", "-c", "printf '\\251ok' >&2"}}),
      (std::vector<std::string>{stderr_line("x\xEF\xBF\xBD\xEF\xBF\xBDok"), exit_line(0)}));
}

TEST_F(PipelineRunTest, FormChecks) {
  LaunchForm empty = pipeline_form({});
  EXPECT_EQ(run(empty), (std::vector<std::string>{"error: Missing pipeline commands"}));
  empty.kind = LaunchKind::kStreamedPipeline;
  EXPECT_EQ(run(empty), (std::vector<std::string>{"error: Missing pipeline commands"}));

  // Members are always joined by pipes: the form has no other operator.
  LaunchForm form = pipeline_form({{"echo", "a"}, {"cat"}});
  EXPECT_EQ(run(form), (std::vector<std::string>{stdout_line("a\n"), exit_line(0)}));
}

TEST_F(PipelineRunTest, StartFailures) {
  EXPECT_EQ(run_members({{"echo", "a"}, {"no-such-program-here"}}),
            (std::vector<std::string>{kEnoent}));
  EXPECT_EQ(run_members({{""}}), (std::vector<std::string>{kEnoent}));
  EXPECT_EQ(run_members({{"/etc"}}),
            (std::vector<std::string>{"error: spawn failed: Permission denied (os error 13)"}));

  LaunchForm missing_cwd = pipeline_form({{"true"}});
  missing_cwd.cwd = "/no/such/directory";
  EXPECT_EQ(run(missing_cwd), (std::vector<std::string>{kEnoent}));

  const std::string nul = "error: spawn failed: nul byte found in provided data";
  EXPECT_EQ(run_members({{"echo", std::string("a\0b", 3)}}), (std::vector<std::string>{nul}));
  EXPECT_EQ(run_members({{std::string("ec\0ho", 5)}}), (std::vector<std::string>{nul}));
  LaunchForm bad_cwd = pipeline_form({{"true"}});
  bad_cwd.cwd = std::string("/tmp\0x", 6);
  EXPECT_EQ(run(bad_cwd), (std::vector<std::string>{nul}));
  LaunchForm bad_env = pipeline_form({{"true"}});
  bad_env.env = EnvMap{{"A", std::string("1\0", 2)}};
  EXPECT_EQ(run(bad_env), (std::vector<std::string>{nul}));
  bad_env.env = EnvMap{{"A=B", "1"}};
  EXPECT_EQ(run(bad_env),
            (std::vector<std::string>{"error: spawn failed: Invalid argument (os error 22)"}));
}

TEST_F(PipelineRunTest, FailedStartDoesNotWaitForEarlierMembersAndEndsThem) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run_members({{"sleep", "1000"}, {"no-such-program-here"}}),
            (std::vector<std::string>{kEnoent}));
  // Far less than the member's 1000 s, with room for a busy machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100s);
  // The sleeping member, which nobody could stop otherwise, is killed and
  // reaped (the fixture checks that no child is left).
}

TEST_F(PipelineRunTest, FailedCaptureThreadEndsTheRunAndReapsTheMembers) {
  fail_capture_starts_after_for_testing(1);
  EXPECT_EQ(run_members({{"sh", "-c", "sleep 0.2"}, {"true"}}),
            (std::vector<std::string>{
                "error: spawn failed: Resource temporarily unavailable (os error 11)"}));
  fail_capture_starts_after_for_testing(2);
  EXPECT_EQ(run_members({{"true"}, {"true"}}),
            (std::vector<std::string>{
                "error: spawn failed: Resource temporarily unavailable (os error 11)"}));
}

TEST_F(PipelineRunTest, EnvironmentOfMembers) {
  TempDir dir;
  dir.write("tool-with-shebang", "#!/bin/sh\necho \"shebang $1\"\n", 0755);
  dir.write("tool-without-shebang", "echo \"plain $1\"\n", 0755);
  const std::string bash_env = dir.write("bash-env", "true\n", 0644);

  LaunchForm form = pipeline_form({{"tool-with-shebang", "a"}, {"cat"}});
  form.env = EnvMap{{"PATH", dir.path() + ":/usr/bin:/bin"}};
  EXPECT_EQ(run(form), (std::vector<std::string>{stdout_line("shebang a\n"), exit_line(0)}));

  // A script without "#!" runs under the shell, as the exec search does.
  form = pipeline_form({{"tool-without-shebang", "b"}});
  form.env = EnvMap{{"PATH", dir.path()}};
  EXPECT_EQ(run(form), (std::vector<std::string>{stdout_line("plain b\n"), exit_line(0)}));

  // TERM is always set; BASH_ENV reaches a "bash" member unchanged.
  form = pipeline_form({{"bash", "-c", "echo \"$TERM $BASH_ENV\""}});
  form.env = EnvMap{{"TERM", "dumb"}, {"BASH_ENV", bash_env}};
  EXPECT_EQ(run(form), (std::vector<std::string>{stdout_line("xterm-256color " + bash_env + "\n"),
                                                 exit_line(0)}));

  // A relative PATH entry is searched from the members' directory.
  form = pipeline_form({{"tool-with-shebang", "c"}});
  form.cwd = dir.path();
  form.env = EnvMap{{"PATH", "."}};
  EXPECT_EQ(run(form), (std::vector<std::string>{stdout_line("shebang c\n"), exit_line(0)}));
}

TEST_F(PipelineRunTest, LargeStdoutAndStderrTogether) {
  // Each member writes 8 MB to both streams, interleaved.
  const std::string writer =
      "i=0; while [ $i -lt 8 ]; do head -c 1000000 /dev/zero | tr '\\0' o; "
      "head -c 1000000 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done";
  auto lines = run_members({{"sh", "-c", writer}, {"sh", "-c", "cat; " + writer}});
  ASSERT_EQ(lines.size(), 3u);
  // The expected lines are put together by hand (the texts need no escaping):
  // parsing 32 MB with the JSON library takes most of this test's time under
  // ThreadSanitizer, minutes on a busy machine. Compared whole: a mismatch
  // would print megabytes.
  const std::string o(16000000, 'o'), e(16000000, 'e');
  EXPECT_TRUE(lines[0] == "{\"data\":\"" + o + "\",\"run_id\":\"r1\",\"stdout\":\"" + o +
                              "\",\"type\":\"stdout\"}")
      << lines[0].size();
  EXPECT_TRUE(lines[1] == "{\"data\":\"" + e + "\",\"run_id\":\"r1\",\"stderr\":\"" + e +
                              "\",\"type\":\"stderr\"}")
      << lines[1].size();
  EXPECT_EQ(lines[2], exit_line(0));
}

TEST_F(PipelineRunTest, TextThatEscapesLargeAndSmallMixesInOneEvent) {
  // Control characters grow sixfold when escaped, so their blocks are kept
  // raw and escaped for each copy; the plain blocks around them are kept
  // escaped. Both kinds must come out in stream order, twice.
  const std::string two_mb = "head -c 2000000 /dev/zero | tr '\\0' ";
  auto lines = run_members({{"sh", "-c", two_mb + "a; " + two_mb + "'\\1'; " + two_mb + "b"}});
  ASSERT_EQ(lines.size(), 2u);
  // Written out by hand rather than by the JSON library's printer, which would
  // take most of this test's time under ThreadSanitizer.
  std::string escaped = std::string(2000000, 'a');
  for (int i = 0; i < 2000000; ++i) escaped += "\\u0001";
  escaped += std::string(2000000, 'b');
  EXPECT_TRUE(lines[0] == "{\"data\":\"" + escaped + "\",\"run_id\":\"r1\",\"stdout\":\"" +
                              escaped + "\",\"type\":\"stdout\"}")
      << lines[0].size();
  EXPECT_EQ(lines[1], exit_line(0));
}

}  // namespace
}  // namespace zelta
