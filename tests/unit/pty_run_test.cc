// Terminal runs driven in-process: launch, events, exit codes, environment,
// redirections, draining, and the cost of a hung-up terminal.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "pty_harness.h"
#include "redirect_form.h"
#include "scratch_dir.h"
#include "supervise/control.h"

namespace zelta::testing {
namespace {

std::vector<nlohmann::json> run(const LaunchForm& form) {
  PtyHarness harness;
  auto error = harness.start(form);
  EXPECT_FALSE(error) << *error;
  harness.close_input();
  return harness.events_until_end();
}

TEST(PtyRun, EventsAreStartedOutputThenExit) {
  auto events = run(execute_form("printf", {"hi\\n"}));
  ASSERT_GE(events.size(), 3u);
  const auto& started = events.front();
  EXPECT_EQ(started.at("type"), "started");
  EXPECT_EQ(started.at("run_id"), "r1");
  EXPECT_EQ(started.at("command"), "printf");
  EXPECT_EQ(started.at("backend_pid"), ::getpid());
  EXPECT_GT(started.at("child_pid").get<int>(), 0);
  EXPECT_EQ(output_of(events), "hi\r\n");  // the terminal turns \n into \r\n
  EXPECT_EQ(exit_code_of(events), 0);
  for (std::size_t i = 1; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].at("data"), events[i].at("stdout"));
    EXPECT_EQ(events[i].at("run_id"), "r1");
  }
}

TEST(PtyRun, SilentCommandYieldsOnlyStartedAndExit) {
  auto form = execute_form("true");
  form.run_id = LaunchForm().run_id;  // the default
  auto events = run(form);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].at("run_id"), "run-0");
  EXPECT_EQ(events[1], nlohmann::json::parse(R"({"exit_code":0,"run_id":"run-0","type":"exit"})"));
}

TEST(PtyRun, ExitCodesAndLaunchFailures) {
  ScratchDir dir;
  dir.write_file("not-exec", "echo hi\n", 0644);
  struct Case {
    std::string command;
    std::vector<std::string> args;
    int exit_code;
    std::string output;
  };
  const Case cases[] = {
      {"true", {}, 0, ""},
      {"sh", {"-c", "exit 3"}, 3, ""},
      {"sh", {"-c", "kill -INT $$"}, 130, ""},
      {"sh", {"-c", "kill -KILL $$"}, 137, ""},
      {"sh", {"-c", "kill -TERM $$"}, 143, ""},
      {"zelta-no-such-program", {}, 127, "zelta-no-such-program: command not found\r\n"},
      {"/no/such/dir/prog", {}, 127, "/no/such/dir/prog: command not found\r\n"},
      {"/tmp", {}, 126, "/tmp: failed to execute: Permission denied (os error 13)\r\n"},
      {dir.path + "/not-exec",
       {},
       126,
       dir.path + "/not-exec: failed to execute: Permission denied (os error 13)\r\n"},
      {"echo",
       {std::string("a\0b", 3)},
       126,
       "echo: failed to execute: nul byte found in provided data\r\n"},
      {"", {}, 127, ": command not found\r\n"},
  };
  for (const Case& c : cases) {
    auto events = run(execute_form(c.command, c.args));
    EXPECT_EQ(exit_code_of(events), c.exit_code) << c.command;
    EXPECT_EQ(output_of(events), c.output) << c.command;
  }
}

TEST(PtyRun, MissingCommandIsRefusedBeforeAnyStart) {
  LaunchForm form = execute_form("x");
  form.commands.clear();
  auto launch = launch_pty(form);
  ASSERT_FALSE(launch.ok());
  EXPECT_EQ(launch.error(), "Missing command");
}

TEST(PtyRun, ProgramSearchFollowsTheComposedPath) {
  ScratchDir denied, found;
  denied.write_file("zelta-prog", "#!/bin/sh\necho denied\n", 0644);
  found.write_file("zelta-prog", "#!/bin/sh\necho found\n", 0755);
  // A script without "#!" runs under /bin/sh.
  found.write_file("zelta-plain", "echo plain $1\n", 0755);

  auto form = execute_form("zelta-prog");
  form.env = EnvMap{{"PATH", found.path}};
  EXPECT_EQ(output_of(run(form)), "found\r\n");

  form.env = EnvMap{{"PATH", denied.path + ":" + found.path}};
  EXPECT_EQ(output_of(run(form)), "found\r\n");

  // Permission failure wins over not-found elsewhere.
  form.env = EnvMap{{"PATH", denied.path + ":/nonexistent"}};
  auto events = run(form);
  EXPECT_EQ(exit_code_of(events), 126);
  EXPECT_EQ(output_of(events),
            "zelta-prog: failed to execute: Permission denied (os error 13)\r\n");

  auto plain = execute_form("zelta-plain", {"arg"});
  plain.env = EnvMap{{"PATH", found.path}};
  EXPECT_EQ(output_of(run(plain)), "plain arg\r\n");

  // A bare word is never looked up in the working directory.
  auto local = execute_form("zelta-prog");
  local.cwd = found.path;
  local.env = EnvMap{{"PATH", "/nonexistent"}};
  EXPECT_EQ(exit_code_of(run(local)), 127);
}

TEST(PtyRun, EnvironmentOverridesAndShellRules) {
  ScratchDir dir;
  dir.write_file("zsh", "#!/bin/sh\necho \"Z=$ZDOTDIR B=$BASH_ENV T=$TERM X=$X\"\n", 0755);
  auto fake_zsh = execute_form("zsh");
  fake_zsh.env = EnvMap{{"PATH", dir.path + ":/usr/bin:/bin"}, {"TERM", "dumb"}, {"X", "y"}};
  EXPECT_EQ(output_of(run(fake_zsh)), "Z=/dev/null B= T=xterm-256color X=y\r\n");

  auto sh = execute_form("sh", {"-c", "echo \"B=$BASH_ENV Z=$ZDOTDIR\""});
  sh.env = EnvMap{{"BASH_ENV", "/etc/profile"}};
  EXPECT_EQ(output_of(run(sh)), "B=/dev/null Z=\r\n");

  auto path_sh = execute_form("/bin/sh", {"-c", "echo \"B=$BASH_ENV\""});
  path_sh.env = EnvMap{{"BASH_ENV", "/etc/profile"}};
  EXPECT_EQ(output_of(run(path_sh)), "B=/etc/profile\r\n");
}

TEST(PtyRun, UnsettableEnvironmentEndsTheChildNonZero) {
  for (const std::string& name : {std::string("A=B"), std::string(""), std::string("N\0UL", 4)}) {
    auto form = execute_form("true");
    form.env = EnvMap{{name, "v"}};
    auto events = run(form);
    EXPECT_NE(exit_code_of(events), 0);
    EXPECT_NE(output_of(events).find("true: failed to execute: "), std::string::npos);
  }
  auto value = execute_form("true");
  value.env = EnvMap{{"V", std::string("a\0b", 3)}};
  EXPECT_EQ(output_of(run(value)), "true: failed to execute: nul byte found in provided data\r\n");
}

TEST(PtyRun, WorkingDirectoryIsEnteredOrTheRunRefused) {
  EXPECT_EQ(output_of(run(execute_form("pwd"))), "/tmp\r\n");
  ScratchDir dir;
  dir.write_file("file", "x");
  auto form = execute_form("pwd");
  form.cwd = dir.path;
  EXPECT_EQ(output_of(run(form)), dir.path + "\r\n");
  const std::string refused[][2] = {
      {dir.path + "/missing", "No such file or directory (os error 2)"},
      {dir.path + "/file", "Not a directory (os error 20)"},
      {"", "No such file or directory (os error 2)"},
      {dir.path + std::string("\0", 1) + "x", "nul byte found in provided data"},
  };
  for (const auto& [cwd, reason] : refused) {
    form.cwd = cwd;
    auto events = run(form);
    EXPECT_EQ(exit_code_of(events), 1) << cwd;
    EXPECT_EQ(output_of(events), cwd + ": " + reason + "\r\n");
  }
}

TEST(PtyRun, WindowSizeIsTheRequestedOne) {
  struct Case {
    std::optional<std::uint16_t> rows, cols;
    std::string size;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "24 80"},
      {std::nullopt, 132, "24 132"},
      {50, 200, "50 200"},
      {0, 7, "0 7"},
  };
  for (const Case& c : cases) {
    auto form = execute_form("stty", {"size"});
    if (c.rows) form.rows = *c.rows;  // else the form's default
    if (c.cols) form.cols = *c.cols;
    EXPECT_EQ(output_of(run(form)), c.size + "\r\n");
  }
}

TEST(PtyRun, RedirectionsReachTheProgramAndHereDocumentsLeaveNoFile) {
  ScratchDir work, tmp;
  work.write_file("in.txt", "from file\n");
  auto form = execute_form("sh", {"-c", "cat; echo to-err >&2; echo to-out"});
  form.cwd = work.path;
  form.env = EnvMap{{"TMPDIR", tmp.path}};
  form.commands[0].redirects = std::vector<Redirect>{
      redirect(RedirectKind::kHereDoc, "\tdoc text\n"),
      redirect(RedirectKind::kOutput, "out.txt"),
      redirect(RedirectKind::kOutput, "out2.txt"),
      redirect(RedirectKind::kAppend, "err.txt", 2),
      redirect(RedirectKind::kOutputDup, "1", 2),
  };
  auto events = run(form);
  EXPECT_EQ(exit_code_of(events), 0);
  EXPECT_EQ(output_of(events), "");
  EXPECT_EQ(work.read_file("out.txt"), "");
  EXPECT_EQ(work.read_file("out2.txt"), "\tdoc text\nto-out\n");
  EXPECT_EQ(work.read_file("err.txt"), "to-err\n");
  EXPECT_TRUE(tmp.entries().empty());

  auto here_string = execute_form("od", {"-An", "-c"});
  here_string.env = EnvMap{{"TMPDIR", tmp.path}};
  here_string.commands[0].redirects =
      std::vector<Redirect>{redirect(RedirectKind::kHereString, "abc", 1)};
  EXPECT_EQ(output_of(run(here_string)), "   a   b   c  \\n\r\n");
  EXPECT_TRUE(tmp.entries().empty());

  // Even a failed start leaves no here-document file behind.
  auto failed = execute_form("zelta-no-such-program");
  failed.env = EnvMap{{"TMPDIR", tmp.path}};
  failed.commands[0].redirects = std::vector<Redirect>{redirect(RedirectKind::kHereDoc, "x")};
  EXPECT_EQ(exit_code_of(run(failed)), 127);
  EXPECT_TRUE(tmp.entries().empty());
}

TEST(PtyRun, LargeOutputIsFullyDeliveredBeforeExit) {
  auto events = run(execute_form("sh", {"-c", "head -c 1000000 /dev/zero | tr '\\0' x"}));
  EXPECT_EQ(exit_code_of(events), 0);
  EXPECT_EQ(output_of(events), std::string(1000000, 'x'));
}

TEST(PtyRun, InvalidUtf8OutputIsReplaced) {
  auto events = run(execute_form("printf", {"a\\377b"}));
  EXPECT_EQ(output_of(events),
            "a\xEF\xBF\xBD"
            "b");
}

double cpu_seconds() {
  timespec ts;
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(PtyRun, HungUpTerminalCostsNextToNoCpu) {
  // All three streams leave the terminal, so nobody holds its slave side for
  // the whole second the command runs.
  auto form = execute_form("sleep", {"1"});
  form.commands[0].redirects = std::vector<Redirect>{
      redirect(RedirectKind::kInput, "/dev/null"), redirect(RedirectKind::kOutput, "/dev/null"),
      redirect(RedirectKind::kOutput, "/dev/null", 2)};
  const double before = cpu_seconds();
  PtyHarness harness;
  ASSERT_FALSE(harness.start(form));  // input stays open: it is polled too
  auto events = harness.events_until_end();
  const double used = cpu_seconds() - before;
  EXPECT_EQ(exit_code_of(events), 0);
  EXPECT_LT(used, 0.25) << "the run cycle spins";
}

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

TEST(PtyRun, ManyRunsLeaveNoDescriptorAndNoChild) {
  run(execute_form("true"));  // let one-time allocations happen first
  const std::size_t before = open_descriptor_count();
  for (int i = 0; i < 30; ++i) {
    auto form = execute_form(i % 3 == 0 ? "zelta-no-such-program" : "cat");
    form.commands[0].redirects = std::vector<Redirect>{redirect(RedirectKind::kHereString, "x")};
    run(form);
  }
  EXPECT_EQ(open_descriptor_count(), before);
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(PtyRun, ChildGetsOnlyTheStandardDescriptors) {
  auto events = run(execute_form("ls", {"/proc/self/fd"}));
  // ls itself opens one descriptor to list the directory.
  EXPECT_EQ(output_of(events), "0  1  2  3\r\n");
}

TEST(PtyRun, ChildHasDefaultSignalsAndItsOwnSession) {
  ::signal(SIGINT, SIG_IGN);
  auto events = run(execute_form("sh", {"-c", "kill -INT $$; echo survived"}));
  ::signal(SIGINT, SIG_DFL);
  EXPECT_EQ(exit_code_of(events), 130);
  // The child leads its own session with the terminal as controlling one.
  auto session = run(execute_form("sh", {"-c", "test $$ = $(ps -o sid= -p $$) && tty"}));
  EXPECT_EQ(exit_code_of(session), 0);
  EXPECT_NE(output_of(session).find("/dev/pts/"), std::string::npos);
}

}  // namespace
}  // namespace zelta::testing
