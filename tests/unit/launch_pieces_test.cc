// Redirection targets and files, here-document files, the launch trace and the
// signals a child sets back to their default.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "launch/exec_plan.h"
#include "launch/launch_trace.h"
#include "launch/redirections.h"
#include "launch/text_file.h"
#include "platform/signal_dispositions.h"
#include "redirect_form.h"
#include "scratch_dir.h"

namespace zelta {
namespace {

using testing::redirect;

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  return text;
}

TEST(RedirectTarget, FollowsTheStreamRulesOfEachKind) {
  using K = RedirectKind;
  using S = StdStream;
  struct Case {
    K kind;
    std::optional<int> fd;
    std::optional<S> target;
  };
  const Case cases[] = {
      {K::kInput, std::nullopt, S::kInput},
      {K::kInput, 0, S::kInput},
      {K::kInput, 1, S::kOutput},
      {K::kInput, 2, S::kError},
      {K::kInput, 7, S::kInput},
      {K::kOutput, std::nullopt, S::kOutput},
      {K::kOutput, 0, S::kInput},
      {K::kOutput, 2, S::kError},
      {K::kOutput, 5, S::kOutput},
      {K::kAppend, 2, S::kError},
      {K::kAppend, -1, S::kOutput},
      {K::kHereDoc, 2, S::kInput},
      {K::kHereDocDash, 1, S::kInput},
      {K::kHereString, std::nullopt, S::kInput},
      {K::kInputDup, 0, std::nullopt},
      {K::kOutputDup, 2, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(redirect_target(redirect(c.kind, "f", c.fd)), c.target)
        << redirect_kind_name(c.kind) << " fd " << c.fd.value_or(-99);
  }
}

TEST(PlanRedirections, FileKindsKeepTheirNameForTheChildAndDuplicationsVanish) {
  using K = RedirectKind;
  const std::vector<Redirect> redirects = {
      redirect(K::kOutput, "out.txt"),     redirect(K::kAppend, "log", 2),
      redirect(K::kInput, "missing.txt"),  redirect(K::kOutputDup, "1", 2),
      redirect(K::kInput, "in", 1),        redirect(K::kInputDup, "0", 0),
      redirect(K::kOutput, "/dev/stdout"), redirect(K::kOutput, std::string("a\0b", 3), 2),
  };
  struct Expected {
    int target;
    const char* path;
    int flags;
    std::string failure;
  };
  const Expected expected[] = {
      {1, "out.txt", O_WRONLY | O_CREAT | O_TRUNC, ""},
      {2, "log", O_WRONLY | O_CREAT | O_APPEND, ""},
      {0, "missing.txt", O_RDONLY, ""},
      {1, "in", O_RDONLY, ""},
      {1, "/dev/stdout", O_WRONLY | O_CREAT | O_TRUNC, ""},
      {2, nullptr, 0, std::string("a\0b", 3) + ": nul byte found in provided data\n"},
  };
  ScratchDir dir;
  auto steps = plan_redirections(redirects, {AT_FDCWD, dir.path});
  ASSERT_EQ(steps.size(), std::size(expected));
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(steps[i].target, expected[i].target) << i;
    EXPECT_EQ(steps[i].path == nullptr, expected[i].path == nullptr) << i;
    if (steps[i].path != nullptr) {
      EXPECT_STREQ(steps[i].path, expected[i].path) << i;
    }
    EXPECT_EQ(steps[i].flags, expected[i].flags) << i;
    EXPECT_EQ(steps[i].failure, expected[i].failure) << i;
    EXPECT_FALSE(steps[i].fd) << i;
  }
  // Nothing is opened or created before the child runs.
  EXPECT_TRUE(dir.entries().empty());
}

TEST(PlanRedirections, HereDocumentsAreDeletedFilesOrAFailureNamingTheirDirectory) {
  ScratchDir dir;
  UniqueFd base(::open(dir.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  auto steps = plan_redirections({redirect(RedirectKind::kHereDoc, "first", 1),
                                  redirect(RedirectKind::kHereDocDash, "\tdash\n"),
                                  redirect(RedirectKind::kHereString, "abc", 2)},
                                 {base.get(), "."});
  ASSERT_EQ(steps.size(), 3u);
  const char* texts[] = {"first", "\tdash\n", "abc\n"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(steps[i].target, 0);
    EXPECT_EQ(steps[i].path, nullptr);
    ASSERT_TRUE(steps[i].fd);
    EXPECT_EQ(::fcntl(steps[i].fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(read_all(steps[i].fd.get()), texts[i]);
  }
  EXPECT_TRUE(dir.entries().empty());

  auto failed =
      plan_redirections({redirect(RedirectKind::kHereString, "x")}, {base.get(), "no-such-dir"});
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_FALSE(failed[0].fd);
  EXPECT_EQ(failed[0].failure, "no-such-dir: No such file or directory (os error 2)\n");
}

TEST(CreateTextFile, HoldsTheTextAtOffsetZeroAndLeavesNoName) {
  ScratchDir dir;
  for (const std::string& text : {std::string(), std::string("\tindented\n"),
                                  std::string(100000, 'z'), std::string("a\0b", 3)}) {
    auto fd = create_text_file(text, dir.path);
    ASSERT_TRUE(fd.ok()) << fd.error();
    EXPECT_EQ(::lseek(fd->get(), 0, SEEK_CUR), 0);
    struct stat st;
    ASSERT_EQ(::fstat(fd->get(), &st), 0);
    EXPECT_EQ(st.st_nlink, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(read_all(fd->get()), text);
    EXPECT_EQ(::fcntl(fd->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_TRUE(dir.entries().empty());
  }
}

TEST(CreateTextFile, RelativeDirectoryResolvesAgainstTheBaseAndMissingOneFails) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir((dir.path + "/sub").c_str(), 0700), 0);
  UniqueFd base(::open(dir.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  auto fd = create_text_file("x", "sub", base.get());
  ASSERT_TRUE(fd.ok()) << fd.error();
  EXPECT_EQ(read_all(fd->get()), "x");
  EXPECT_FALSE(create_text_file("x", "no-such-dir", base.get()).ok());
  ::rmdir((dir.path + "/sub").c_str());
}

TEST(CreateTextFile, NamesAreSixRandomLettersOrDigits) {
  std::string a = random_text_file_suffix(), b = random_text_file_suffix();
  EXPECT_EQ(a.size(), 6u);
  EXPECT_NE(a, b);
  for (char c : a + b) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << c;
}

TEST(LaunchTrace, FormatsCommandArgumentsAndRedirects) {
  EXPECT_EQ(format_launch_trace("cat", {"-n"}, {redirect(RedirectKind::kHereString, "hi")}),
            "[zelta-stdio] command=cat args=[\"-n\"] redirects=[Redirect { fd: None, kind: "
            "HereString, file: \"hi\" }]\n");
  EXPECT_EQ(format_launch_trace("ls", {}, {}), "[zelta-stdio] command=ls args=[] redirects=[]\n");
  EXPECT_EQ(format_launch_trace(
                "x", {"a", "b"},
                {redirect(RedirectKind::kOutput, "o", 2), redirect(RedirectKind::kInput, "i", -1)}),
            "[zelta-stdio] command=x args=[\"a\", \"b\"] redirects=[Redirect { fd: Some(2), "
            "kind: Output, file: \"o\" }, Redirect { fd: Some(-1), kind: Input, file: \"i\" }]\n");
}

TEST(LaunchTrace, QuotesStringsWithEscapes) {
  struct Case {
    std::string text, quoted;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"\n\r\t", "\"\\n\\r\\t\""},
      {std::string("a\0b", 3), "\"a\\0b\""},
      {"\x1b\x7f", "\"\\u{1b}\\u{7f}\""},
      {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},  // printable non-ASCII
      {"e\xcc\x81", "\"e\\u{301}\""},                                // combining accent
      {"\xc2\x85", "\"\\u{85}\""},                                   // C1 control
      {"it's", "\"it's\""},
  };
  for (const Case& c : cases) EXPECT_EQ(trace_quote(c.text), c.quoted);
}

// The signals a child resets are exactly those a query of every signal finds
// away from the default: ignored, caught, real-time ones included, and none
// of those the C library keeps to itself.
TEST(SignalsNotAtDefault, AreThoseEveryQueryFindsAwayFromTheDefault) {
  const int changed[] = {SIGUSR1, SIGUSR2, SIGWINCH, SIGRTMIN + 3, SIGRTMAX};
  std::vector<struct sigaction> saved(std::size(changed));
  for (std::size_t i = 0; i < std::size(changed); ++i) {
    struct sigaction action = {};
    action.sa_handler = i % 2 == 0 ? SIG_IGN : +[](int) {};
    ::sigaction(changed[i], &action, &saved[i]);
  }
  int listed[NSIG];
  const std::size_t count = signals_not_at_default(listed);
  std::vector<int> expected;
  for (int n = 1; n < NSIG; ++n) {
    struct sigaction current;
    if (n != SIGKILL && n != SIGSTOP && ::sigaction(n, nullptr, &current) == 0 &&
        current.sa_handler != SIG_DFL) {
      expected.push_back(n);
    }
  }
  for (std::size_t i = 0; i < std::size(changed); ++i) ::sigaction(changed[i], &saved[i], nullptr);
  EXPECT_EQ(std::vector<int>(listed, listed + count), expected);
  for (int n : changed) EXPECT_NE(std::find(expected.begin(), expected.end(), n), expected.end());
}

// One builder serves a single command and a job's member: they differ only
// in the duplications between standard streams, which only a member applies.
TEST(BuildExecPlan, CommandAndMemberShareOnePlanButForDuplications) {
  ScratchDir dir;
  const LaunchCommand command{
      "cat",
      {"-n"},
      {redirect(RedirectKind::kHereString, std::string(3000, 'h')),
       redirect(RedirectKind::kOutputDup, "1", 2), redirect(RedirectKind::kOutput, "out")}};
  LaunchForm form;
  form.cwd = dir.path;
  form.env = EnvMap{{"PATH", "/x:rel"}};
  const int reset[] = {SIGINT};
  for (const LaunchKind kind : {LaunchKind::kTerminalCommand, LaunchKind::kJob}) {
    form.kind = kind;
    const auto plan = build_exec_plan(command, form, reset, 1);
    const ChildExec& exec = plan->exec;
    const bool member = kind == LaunchKind::kJob;
    ASSERT_EQ(exec.redirect_count, member ? 3u : 2u);
    EXPECT_GE(exec.redirects[0].fd.get(), 3);  // the here-string, already stored
    if (member) {
      EXPECT_EQ(exec.redirects[1].target, 2);
      EXPECT_EQ(exec.redirects[1].dup_from, 1);
    }
    EXPECT_STREQ(exec.redirects[member ? 2 : 1].path, "out");
    ASSERT_EQ(exec.kept_fd_count, 1u);
    EXPECT_EQ(exec.kept_fds[0], exec.redirects[0].fd.get());
    EXPECT_STREQ(exec.argv[0], "cat");
    EXPECT_STREQ(exec.argv[1], "-n");
    EXPECT_EQ(exec.argv[2], nullptr);
    EXPECT_STREQ(exec.shell_argv[0], "/bin/sh");
    EXPECT_STREQ(exec.shell_argv[2], "-n");
    ASSERT_EQ(exec.candidate_count, 2u);
    EXPECT_STREQ(exec.candidates[0], "/x/cat");
    EXPECT_STREQ(exec.candidates[1], "rel/cat");
    EXPECT_STREQ(exec.cwd, dir.path.c_str());
    EXPECT_EQ(exec.reset_signals, reset);
    EXPECT_EQ(exec.slave_fd, -1);
    EXPECT_EQ(exec.setup_failure, nullptr);
    EXPECT_EQ(exec.exec_failure, nullptr);
    // Room for the names the child may write, not for a here-document's text.
    EXPECT_EQ(exec.scratch_capacity, 3 + dir.path.size() + kFailureTextRoom);
  }
}

TEST(BuildExecPlan, ProblemsBecomeTheChildsFailureLines) {
  ScratchDir dir;
  struct Case {
    std::string cwd;
    EnvMap env;
    std::vector<std::string> args;
    std::vector<Redirect> redirects;
    std::string setup_failure;  // empty: none
    int setup_status;
    std::string exec_failure;  // empty: none
  };
  const std::string nul("a\0b", 3);
  const std::string missing = dir.path + "/missing";
  const Case cases[] = {
      {dir.path,
       {{"A=B", "1"}},
       {},
       {},
       "true: failed to execute: Invalid argument (os error 22)\n",
       126,
       ""},
      {dir.path,
       {{"", "1"}},
       {},
       {},
       "true: failed to execute: Invalid argument (os error 22)\n",
       126,
       ""},
      {dir.path,
       {{"A", nul}},
       {},
       {},
       "true: failed to execute: nul byte found in provided data\n",
       126,
       ""},
      {dir.path,
       {},
       {nul},
       {},
       "",
       126,
       "true: failed to execute: nul byte found in provided data\n"},
      // The directory wins over the environment, and is refused with status 1.
      {nul, {{"A=B", "1"}}, {}, {}, nul + ": nul byte found in provided data\n", 1, ""},
      // A missing directory is the child's to report, unless there are
      // redirections to plan against it.
      {missing, {}, {}, {}, "", 126, ""},
      {missing,
       {},
       {},
       {redirect(RedirectKind::kOutput, "f")},
       missing + ": No such file or directory (os error 2)\n",
       1,
       ""},
  };
  for (const Case& c : cases) {
    LaunchForm form;
    form.cwd = c.cwd;
    form.env = c.env;
    const auto plan = build_exec_plan({"true", c.args, c.redirects}, form, nullptr, 0);
    const ChildExec& exec = plan->exec;
    const std::string setup =
        exec.setup_failure ? std::string(exec.setup_failure, exec.setup_failure_length) : "";
    const std::string at_exec =
        exec.exec_failure ? std::string(exec.exec_failure, exec.exec_failure_length) : "";
    EXPECT_EQ(setup, c.setup_failure) << c.cwd;
    if (!setup.empty()) {
      EXPECT_EQ(exec.setup_failure_status, c.setup_status) << c.cwd;
    }
    EXPECT_EQ(at_exec, c.exec_failure) << c.cwd;
    EXPECT_EQ(exec.redirect_count, 0u) << c.cwd;
  }
}

}  // namespace
}  // namespace zelta
