// Control requests carried out on a live terminal run.
#include "supervise/control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pty_harness.h"

namespace zelta::testing {
namespace {

Request control(std::string type) {
  Request request;
  request.type = std::move(type);
  request.run_id = "r1";
  return request;
}

// A launched command wrapped in a TerminalRun, without the run cycle, its output
// lines captured from a pipe. Kills and reaps the child at the end.
class LiveRun {
 public:
  explicit LiveRun(LaunchForm form) {
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
    out_read_ = UniqueFd(out[0]);
    out_write_ = UniqueFd(out[1]);
    set_output_fd_for_testing(out_write_.get());
    auto launch = launch_pty(form);
    EXPECT_TRUE(launch.ok());
    run_.emplace(std::move(launch).value());
    (void)events_written();  // "started"
    int flags = ::fcntl(master(), F_GETFL);
    ::fcntl(master(), F_SETFL, flags | O_NONBLOCK);
  }
  ~LiveRun() {
    ::kill(run_->launch.child_pid, SIGKILL);
    ::waitpid(run_->launch.child_pid, nullptr, 0);
    set_output_fd_for_testing(1);
  }
  TerminalRun& run() { return *run_; }
  int master() const { return run_->launch.master_fd.get(); }
  // Waits until the terminal has output for the master to read.
  bool wait_readable() {
    pollfd pfd{master(), POLLIN, 0};
    return ::poll(&pfd, 1, 20000) == 1;
  }
  std::string events_written() {
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(out_read_.get(), buffer, sizeof buffer)) > 0) text.append(buffer, n);
    return text;
  }
  int wait_status() {
    int status = 0;
    ::waitpid(run_->launch.child_pid, &status, 0);
    run_->exited = true;
    return status;
  }

 private:
  UniqueFd out_read_, out_write_;
  std::optional<TerminalRun> run_;
};

TEST(DispatchControl, SignalGoesToTheChildByName) {
  struct Case {
    std::optional<std::string> name;
    int signal_number;
  };
  const Case cases[] = {
      {"KILL", SIGKILL}, {"TERM", SIGTERM}, {std::nullopt, SIGINT}, {"term", SIGINT}};
  for (const Case& c : cases) {
    LiveRun live(execute_form("sleep", {"30"}));
    Request request = control("run.signal");
    request.signal = c.name;
    live.run().control(request);
    int status = live.wait_status();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), c.signal_number);
  }
}

TEST(DispatchControl, NoSignalOnceReaped) {
  LiveRun live(execute_form("sleep", {"30"}));
  live.run().exited = true;
  live.run().control(control("run.signal"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(::waitpid(live.run().launch.child_pid, nullptr, WNOHANG), 0);  // still running
}

TEST(DispatchControl, FlushReadsPendingOutputWithinItsBudget) {
  LiveRun live(execute_form("sh", {"-c", "printf ready; sleep 30"}));
  ASSERT_TRUE(live.wait_readable());
  Request flush = control("stream.flush");
  flush.timeout_ms = 0;
  live.run().control(flush);
  EXPECT_EQ(live.events_written(), "");  // a zero budget reads nothing

  flush.timeout_ms.reset();
  const auto start = std::chrono::steady_clock::now();
  live.run().control(flush);
  EXPECT_EQ(live.events_written(),
            "{\"data\":\"ready\",\"run_id\":\"r1\",\"stdout\":\"ready\",\"type\":\"stdout\"}\n");
  // Nothing more pending: the flush returns at its first empty read, long
  // before the command (asleep for 30 s) could end (a generous bound: a busy
  // machine may hold the test back for seconds).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(DispatchControl, FlushKeepsACharacterSplitBetweenReadsWhole) {
  // The rest of the character comes only once a line has been typed.
  LiveRun live(execute_form(
      "sh", {"-c", "stty -echo; printf '\\342'; read x; printf '\\224\\200'; sleep 30"}));
  Request flush = control("stream.flush");
  flush.timeout_ms = 3000;
  ASSERT_TRUE(live.wait_readable());
  live.run().control(flush);
  EXPECT_EQ(live.events_written(), "");  // only the start of a character so far
  EXPECT_TRUE(live.run().events.holding());
  live.run().type_input("\n");
  ASSERT_TRUE(live.wait_readable());
  live.run().control(flush);
  EXPECT_EQ(live.events_written(),
            "{\"data\":\"\xE2\x94\x80\",\"run_id\":\"r1\",\"stdout\":\"\xE2\x94\x80\","
            "\"type\":\"stdout\"}\n");
}

TEST(DispatchControl, FlushStopsAtTheCappedBudgetUnderEndlessOutput) {
  LiveRun live(execute_form("yes"));
  ASSERT_TRUE(live.wait_readable());
  Request flush = control("stream.flush");
  flush.timeout_ms = 60000;
  std::atomic<bool> flushed{false};
  std::thread drain([&] {  // keep the output pipe from filling up
    while (!flushed) {
      live.events_written();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const auto start = std::chrono::steady_clock::now();
  live.run().control(flush);
  const auto took = std::chrono::steady_clock::now() - start;
  flushed = true;
  drain.join();
  // It may end earlier, at a read that happens to find nothing, but never
  // runs for the minute asked: the budget is capped (at three seconds, see
  // flush_budget; the bound leaves room for a busy machine).
  EXPECT_LT(took, std::chrono::seconds(30));
}

TEST(DispatchControl, TypedInputBeyondTheTerminalQueueIsKeptInOrder) {
  // Nobody reads the terminal, so it takes only its input queue's worth.
  LiveRun live(execute_form("sleep", {"30"}));
  Request write = control("stdin.write");
  write.data = std::string(300000, 'a') + "\n";
  live.run().control(write);
  EXPECT_TRUE(live.run().has_pending_input());
  // The cycle knows it typed something, until the next cycle starts.
  EXPECT_TRUE(live.run().input.written_this_cycle());
  live.run().input.begin_cycle();
  EXPECT_FALSE(live.run().input.written_this_cycle());
  Request absent = control("stdin.write");
  live.run().control(absent);  // no data: nothing happens
  EXPECT_TRUE(live.run().has_pending_input());
  EXPECT_FALSE(live.run().input.written_this_cycle());
}

TEST(DispatchControl, ResizeSetsTheGivenDimensionsAndKeepsTheOthers) {
  auto form = execute_form("sleep", {"30"});
  form.rows = 24;
  form.cols = 80;
  LiveRun live(form);
  struct Step {
    std::optional<std::uint16_t> rows, cols;
    unsigned short want_rows, want_cols;
  };
  const Step steps[] = {
      {30, 100, 30, 100},          {std::nullopt, 120, 30, 120},
      {40, std::nullopt, 40, 120}, {std::nullopt, std::nullopt, 40, 120},
      {0, 65535, 0, 65535},
  };
  for (const Step& step : steps) {
    Request resize = control("run.resize");
    resize.rows = step.rows;
    resize.cols = step.cols;
    live.run().control(resize);
    winsize size{};
    ASSERT_EQ(::ioctl(live.master(), TIOCGWINSZ, &size), 0);
    EXPECT_EQ(size.ws_row, step.want_rows);
    EXPECT_EQ(size.ws_col, step.want_cols);
  }
  EXPECT_EQ(live.events_written(), "");  // no reply, no event
}

TEST(DispatchControl, OtherTypesDoNothing) {
  LiveRun live(execute_form("sleep", {"30"}));
  live.run().control(control("run.ast"));
  live.run().control(control("glob"));
  EXPECT_EQ(live.events_written(), "");
  EXPECT_EQ(::waitpid(live.run().launch.child_pid, nullptr, WNOHANG), 0);
}

}  // namespace
}  // namespace zelta::testing
