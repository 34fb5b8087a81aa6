// Terminal launches on both creation paths: what the command finds when it
// starts (session, terminal, signals, descriptors, place, environment), the
// launch failures it reports, and which launches must take the fork path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "pty_harness.h"
#include "redirect_form.h"
#include "scratch_dir.h"

namespace zelta::testing {
namespace {

class PtyLaunchBoth : public ::testing::TestWithParam<LaunchMethod> {
 protected:
  // Runs `form` to its end on the parameter's path; checks the path taken
  // (`forked`: a target forces the fork path).
  std::vector<nlohmann::json> run(const LaunchForm& form, bool forked = false) {
    PtyHarness harness;
    auto error = harness.start(form, GetParam());
    EXPECT_FALSE(error) << *error;
    EXPECT_EQ(harness.method(), forked ? LaunchMethod::kFork : expected_method());
    harness.close_input();
    return harness.events_until_end();
  }
  LaunchMethod expected_method() const {
    return kVforkCloneBuilt ? GetParam() : LaunchMethod::kFork;
  }
};

std::string method_name(const ::testing::TestParamInfo<LaunchMethod>& info) {
  return info.param == LaunchMethod::kFork ? "Fork" : "VforkClone";
}

INSTANTIATE_TEST_SUITE_P(Paths, PtyLaunchBoth,
                         ::testing::Values(LaunchMethod::kVforkClone, LaunchMethod::kFork),
                         method_name);

// The executor's own signal state made as hostile as a front end may leave
// it: ignored and caught signals, and blocked ones on the launching thread.
class HostileSignals {
 public:
  HostileSignals() {
    for (int s : {SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGHUP}) saved_.push_back(swap(s, SIG_IGN));
    saved_.push_back(swap(SIGUSR1, [](int) {}));
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    sigaddset(&block, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &block, &mask_);
  }
  ~HostileSignals() {
    for (auto& [s, action] : saved_) sigaction(s, &action, nullptr);
    pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
  }

 private:
  static std::pair<int, struct sigaction> swap(int s, void (*handler)(int)) {
    struct sigaction action = {}, old;
    action.sa_handler = handler;
    sigaction(s, &action, &old);
    return {s, old};
  }
  std::vector<std::pair<int, struct sigaction>> saved_;
  sigset_t mask_;
};

TEST_P(PtyLaunchBoth, CommandStartsAsTheSessionLeaderOfItsTerminalWithCleanState) {
  ScratchDir dir;
  HostileSignals hostile;
  const std::string script =
      "set -- $(ps -o sid=,pgid=,tpgid= -p $$); "
      "[ \"$1 $2 $3\" = \"$$ $$ $$\" ] && echo leader-in-foreground; "
      "t=$(tty); for fd in 0 1 2; do [ \"$(readlink /proc/$$/fd/$fd)\" = \"$t\" ] && echo $fd; "
      "done; "
      "ps -o tty= -p $$ | grep -q pts && echo controlling; "
      "stty size; pwd; echo \"$ZELTA_X $TERM\"";
  struct Case {
    std::string command;
    std::vector<std::string> args;
    std::string output;
  };
  const Case cases[] = {
      {"sh",
       {"-c", script},
       "leader-in-foreground\r\n0\r\n1\r\n2\r\ncontrolling\r\n40 100\r\n" + dir.path +
           "\r\nx xterm-256color\r\n"},
      // Nothing blocked, nothing ignored, whatever the executor does.
      {"grep",
       {"-E", "^Sig(Blk|Ign)", "/proc/self/status"},
       "SigBlk:\t0000000000000000\r\nSigIgn:\t0000000000000000\r\n"},
      // ls holds one descriptor to list the directory.
      {"ls", {"/proc/self/fd"}, "0  1  2  3\r\n"},
  };
  for (const Case& c : cases) {
    auto form = execute_form(c.command, c.args);
    form.cwd = dir.path;
    form.rows = 40;
    form.cols = 100;
    form.env = EnvMap{{"ZELTA_X", "x"}};
    auto events = run(form);
    EXPECT_EQ(exit_code_of(events), 0) << c.command;
    EXPECT_EQ(output_of(events), c.output) << c.command;
  }
}

TEST_P(PtyLaunchBoth, FailuresAreReportedOnTheTerminal) {
  ScratchDir dir;
  dir.write_file("plain", "echo plain $1\n", 0755);
  dir.write_file("no-exec", "echo x\n", 0644);
  const std::string long_name = "zelta-" + std::string(64 * 1024, 'x');
  struct Case {
    std::string command;
    std::vector<Redirect> redirects;
    std::optional<std::string> cwd;
    int exit_code;
    std::string output;
    bool forked = false;
  };
  const Case cases[] = {
      {"zelta-no-such-program", {}, {}, 127, "zelta-no-such-program: command not found\r\n"},
      {dir.path + "/no-exec",
       {},
       {},
       126,
       dir.path + "/no-exec: failed to execute: Permission denied (os error 13)\r\n"},
      {dir.path + "/plain", {}, {}, 0, "plain arg\r\n"},  // no "#!": run by /bin/sh
      {"true",
       {},
       dir.path + "/gone",
       1,
       dir.path + "/gone: No such file or directory (os error 2)\r\n"},
      // A redirection that opens a path always forks.
      {"true",
       {redirect(RedirectKind::kInput, "missing")},
       dir.path,
       1,
       "missing: No such file or directory (os error 2)\r\n",
       true},
      {"true",
       {redirect(RedirectKind::kOutput, ".")},
       dir.path,
       1,
       ".: Is a directory (os error 21)\r\n",
       true},
      {"true",
       {redirect(RedirectKind::kHereString, "doc")},
       "/nonexistent-zelta",
       1,
       "/nonexistent-zelta: No such file or directory (os error 2)\r\n"},
      // Failure lines longer than a terminal holds unread: the launch must not
      // wait on a child that waits for a reader.
      {long_name,
       {},
       {},
       126,
       long_name + ": failed to execute: File name too long (os error 36)\r\n",
       true},
      {"true",
       {},
       "/" + long_name,
       1,
       "/" + long_name + ": File name too long (os error 36)\r\n",
       true},
  };
  for (const Case& c : cases) {
    auto form = execute_form(c.command, {"arg"});
    form.commands[0].redirects = c.redirects;
    form.cwd = c.cwd.value_or(std::string(kDefaultCwd));
    auto events = run(form, c.forked);
    EXPECT_EQ(exit_code_of(events), c.exit_code) << c.command.substr(0, 80);
    EXPECT_EQ(output_of(events), c.output) << c.command.substr(0, 80);
  }
}

TEST_P(PtyLaunchBoth, RedirectionsAreOpenedByTheCommandInOrder) {
  ScratchDir dir;
  auto form = execute_form("sh", {"-c", "cat; echo out; echo err >&2"});
  form.cwd = dir.path;
  form.commands[0].redirects = std::vector<Redirect>{
      redirect(RedirectKind::kHereString, "doc"),
      redirect(RedirectKind::kOutput, "first"),
      redirect(RedirectKind::kAppend, "log", 2),
      redirect(RedirectKind::kOutput, "second"),
  };
  auto events = run(form, true);
  EXPECT_EQ(exit_code_of(events), 0);
  EXPECT_EQ(output_of(events), "");
  EXPECT_EQ(dir.read_file("first"), "");
  EXPECT_EQ(dir.read_file("second"), "doc\nout\n");
  EXPECT_EQ(dir.read_file("log"), "err\n");

  // A name meaning the command's own stream resolves in the command (to a
  // new open file description, so both append).
  form.commands[0].redirects = std::vector<Redirect>{
      redirect(RedirectKind::kHereString, "doc"),
      redirect(RedirectKind::kAppend, "first"),
      redirect(RedirectKind::kAppend, "/dev/stdout", 2),
  };
  events = run(form, true);
  EXPECT_EQ(exit_code_of(events), 0);
  EXPECT_EQ(output_of(events), "");
  EXPECT_EQ(dir.read_file("first"), "doc\nout\nerr\n");
}

// A here-document's text is stored by the executor, not named in a line the
// child builds: however long, it keeps the clone path.
TEST_P(PtyLaunchBoth, LongHereDocumentKeepsTheChosenPath) {
  auto form = execute_form("wc", {"-c"});
  form.commands[0].redirects =
      std::vector<Redirect>{redirect(RedirectKind::kHereString, std::string(5000, 'h'))};
  auto events = run(form);
  EXPECT_EQ(exit_code_of(events), 0);
  EXPECT_EQ(output_of(events), "5001\r\n");
}

TEST_P(PtyLaunchBoth, InterruptTypedRightAfterTheLaunchEndsTheCommand) {
  HostileSignals hostile;
  for (int round = 0; round < 10; ++round) {
    PtyHarness harness;
    ASSERT_FALSE(harness.start(execute_form("cat"), GetParam()));
    harness.send(R"({"type":"stdin.write","run_id":"r1","data":"\u0003"})"
                 "\n");
    EXPECT_EQ(exit_code_of(harness.events_until_end()), 130) << "round " << round;
  }
}

TEST(PtyLaunch, EveryConditionOfTheLaunchChoice) {
  // A plan as the launch prepares it, changed by one condition per case.
  char scratch[kFailureTextRoom + 16];
  RedirectStep steps[2];
  steps[0].fd.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));  // a here-document
  const std::string long_line(kCloneLineLimit + 1, 'x');
  struct Case {
    const char* name;
    LaunchMethod preferred;
    const char* path;          // a second step opening this path
    std::size_t failure_size;  // a second step failing with a line this long
    std::size_t setup_size;    // a setup failure line this long
    std::size_t exec_size;     // an exec failure line this long
    std::size_t scratch_size;  // 0: the plain scratch buffer
    LaunchMethod expected;
  };
  constexpr auto kClone = LaunchMethod::kVforkClone;
  constexpr auto kFork = LaunchMethod::kFork;
  const std::size_t n = kCloneLineLimit;
  const Case cases[] = {
      {"plain", kClone, nullptr, 0, 0, 0, 0, kClone},
      {"fork asked for", kFork, nullptr, 0, 0, 0, 0, kFork},
      {"regular file", kClone, "file", 0, 0, 0, 0, kFork},
      {"memory device", kClone, "/dev/null", 0, 0, 0, 0, kFork},
      {"missing name", kClone, "no/such/name", 0, 0, 0, 0, kFork},
      {"failure step at the limit", kClone, nullptr, n, 0, 0, 0, kClone},
      {"failure step beyond it", kClone, nullptr, n + 1, 0, 0, 0, kFork},
      {"setup failure beyond it", kClone, nullptr, 0, n + 1, 0, 0, kFork},
      {"exec failure beyond it", kClone, nullptr, 0, 0, n + 1, 0, kFork},
      {"long names", kClone, nullptr, 0, 0, 0, n + 1, kFork},
  };
  for (const Case& c : cases) {
    ChildExec plan;
    plan.scratch = scratch;
    plan.scratch_capacity = c.scratch_size != 0 ? c.scratch_size : sizeof scratch;
    steps[1].path = c.path;
    steps[1].failure.assign(c.failure_size, 'x');
    plan.redirects = steps;
    plan.redirect_count = 2;
    plan.setup_failure = long_line.data();
    plan.setup_failure_length = c.setup_size;
    plan.exec_failure = long_line.data();
    plan.exec_failure_length = c.exec_size;
    const LaunchMethod expected = kVforkCloneBuilt ? c.expected : kFork;
    EXPECT_EQ(choose_launch_method(plan, c.preferred), expected) << c.name;
  }
}

TEST(PtyLaunch, FifoTargetWaitsInAForkedChild) {
  ScratchDir dir;
  ASSERT_EQ(::mkfifo((dir.path + "/fifo").c_str(), 0600), 0);
  // A FIFO target waits in a forked child, which the launch does not wait for.
  auto form = execute_form("cat");
  form.commands[0].redirects =
      std::vector<Redirect>{redirect(RedirectKind::kInput, dir.path + "/fifo")};
  PtyHarness harness;
  ASSERT_FALSE(harness.start(form, LaunchMethod::kVforkClone));
  EXPECT_EQ(harness.method(), LaunchMethod::kFork);
  {
    UniqueFd writer(::open((dir.path + "/fifo").c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(::write(writer.get(), "late\n", 5), 5);
  }
  auto events = harness.events_until_end();
  EXPECT_EQ(output_of(events), "late\r\n");
  ::unlink((dir.path + "/fifo").c_str());
}

TEST(PtyLaunch, CloneHandsOutAProcessDescriptor) {
  auto launch = launch_pty(execute_form("true"), LaunchMethod::kVforkClone);
  ASSERT_TRUE(launch.ok());
  if (kVforkCloneBuilt) {
    EXPECT_EQ(launch->method, LaunchMethod::kVforkClone);
    ASSERT_TRUE(launch->pidfd);
    EXPECT_EQ(::fcntl(launch->pidfd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  }
  int status = 0;
  EXPECT_EQ(::waitpid(launch->child_pid, &status, 0), launch->child_pid);
}

}  // namespace
}  // namespace zelta::testing
