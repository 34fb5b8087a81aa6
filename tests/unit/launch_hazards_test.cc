// Terminal launches under conditions the command's environment controls: a
// redirect target that makes its open wait (a lease, a name swapped with a
// FIFO), a failure line longer than the terminal holds, a sandbox refusing
// the session or the terminal. The launch never waits on any of them, on
// either path, and the child holds nothing of the executor while it waits.
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <future>
#include <set>
#include <thread>

#include "launch/child_side.h"
#include "launch/child_start.h"
#include "launch/exec_plan.h"
#include "platform/terminal_peer.h"
#include "pty_harness.h"
#include "redirect_form.h"
#include "scratch_dir.h"

namespace zelta::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// Longest a launch may take here: far beyond a launch on a loaded machine,
// far below the waits the conditions cause (45 s for a lease, for ever).
constexpr auto kLaunchBound = seconds(15);

constexpr const char* kInterrupt = R"({"type":"stdin.write","run_id":"r1","data":"\u0003"})"
                                   "\n";

class LaunchHazards : public ::testing::TestWithParam<LaunchMethod> {};

std::string method_name(const ::testing::TestParamInfo<LaunchMethod>& info) {
  return info.param == LaunchMethod::kFork ? "Fork" : "VforkClone";
}

INSTANTIATE_TEST_SUITE_P(Paths, LaunchHazards,
                         ::testing::Values(LaunchMethod::kVforkClone, LaunchMethod::kFork),
                         method_name);

// A read lease on a file, held by this process with SIGIO ignored: an open
// for writing by anyone else waits for the kernel's lease-break time.
class ReadLease {
 public:
  explicit ReadLease(const std::string& path) {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGIO, &ignore, &saved_);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    held_ = fd_ >= 0 && ::fcntl(fd_, F_SETLEASE, F_RDLCK) == 0;
  }
  ~ReadLease() {
    if (fd_ >= 0) ::close(fd_);
    ::sigaction(SIGIO, &saved_, nullptr);
  }
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
  struct sigaction saved_ = {};
};

TEST_P(LaunchHazards, RedirectTargetUnderALeaseNeverHoldsTheLaunch) {
  ScratchDir dir;
  dir.write_file("leased", "old\n");
  ReadLease lease(dir.path + "/leased");
  if (!lease.held()) GTEST_SKIP() << "leases need the file's owner or CAP_LEASE";
  auto form = execute_form("cat");
  form.commands[0].redirects =
      std::vector<Redirect>{redirect(RedirectKind::kOutput, dir.path + "/leased")};
  PtyHarness harness;
  const auto start = Clock::now();
  ASSERT_FALSE(harness.start(form, GetParam()));
  EXPECT_LT(Clock::now() - start, kLaunchBound);
  EXPECT_EQ(harness.method(), LaunchMethod::kFork);
  // The command waits in its open, where a typed Ctrl-C ends it.
  harness.send(kInterrupt);
  EXPECT_EQ(exit_code_of(harness.events_until_end()), 130);
}

TEST_P(LaunchHazards, NameSwappedWithAFifoNeverHoldsTheLaunch) {
  ScratchDir dir;
  dir.write_file("target", "file\n");
  ASSERT_EQ(::mkfifo((dir.path + "/other").c_str(), 0600), 0);
  const std::string target = dir.path + "/target";
  const std::string other = dir.path + "/other";
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop) ::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
  });
  auto form = execute_form("cat");
  form.commands[0].redirects = std::vector<Redirect>{redirect(RedirectKind::kInput, target)};
  for (int round = 0; round < 25; ++round) {
    PtyHarness harness;
    const auto start = Clock::now();
    ASSERT_FALSE(harness.start(form, GetParam()));
    EXPECT_LT(Clock::now() - start, kLaunchBound) << "round " << round;
    // Either it read the file and ends, or it waits on the FIFO until Ctrl-C.
    harness.send(kInterrupt);
    const int code = exit_code_of(harness.events_until_end());
    EXPECT_TRUE(code == 0 || code == 130) << "round " << round << ": " << code;
  }
  stop = true;
  swapper.join();
}

TEST_P(LaunchHazards, FailureLineLongerThanTheTerminalHoldsIsRead) {
  // A here-string stored in a temporary directory whose name is 150,000
  // characters long: the child's failure line names it.
  const std::string tmpdir = "/" + std::string(150000, 'd');
  auto form = execute_form("cat");
  form.env = EnvMap{{"TMPDIR", tmpdir}};
  form.commands[0].redirects = std::vector<Redirect>{redirect(RedirectKind::kHereString, "text")};
  PtyHarness harness;
  const auto start = Clock::now();
  ASSERT_FALSE(harness.start(form, GetParam()));
  EXPECT_LT(Clock::now() - start, kLaunchBound);
  EXPECT_EQ(harness.method(), LaunchMethod::kFork);
  harness.close_input();
  const auto events = harness.events_until_end();
  EXPECT_EQ(output_of(events), tmpdir + ": File name too long (os error 36)\r\n");
  EXPECT_EQ(exit_code_of(events), 1);
}

// Descriptors of process `pid`, from /proc.
std::set<int> descriptors_of(pid_t pid) {
  std::set<int> fds;
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') fds.insert(std::atoi(entry->d_name));
    }
    ::closedir(dir);
  }
  return fds;
}

TEST(LaunchHazardsChild, ChildWaitingInAnOpenHoldsOnlyItsStandardStreams) {
  // The executor's descriptors (the terminal's master among them) stand for
  // ones without close-on-exec too: one is inherited that way here.
  const int inherited = ::open("/dev/null", O_RDONLY);
  ScratchDir dir;
  ASSERT_EQ(::mkfifo((dir.path + "/fifo").c_str(), 0600), 0);
  auto form = execute_form("cat");
  form.commands[0].redirects =
      std::vector<Redirect>{redirect(RedirectKind::kHereString, "doc"),
                            redirect(RedirectKind::kInput, dir.path + "/fifo")};
  PtyHarness harness;
  ASSERT_FALSE(harness.start(form));
  const std::set<int> standard{0, 1, 2};
  std::set<int> held;
  for (auto deadline = Clock::now() + seconds(20); Clock::now() < deadline;) {
    held = descriptors_of(harness.child_pid());
    if (held == standard) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(held, standard);
  harness.send(kInterrupt);
  EXPECT_EQ(exit_code_of(harness.events_until_end()), 130);
  ::close(inherited);
}

// Runs `form` in a forked process whose system calls pass through a filter
// that makes `refused` (a system call number; for ioctl only TIOCSCTTY)
// fail with EPERM, as a sandbox may. Returns the run's output and exit code
// as "<code>:<output>", or "" when the filter cannot be installed.
std::string run_refused(const LaunchForm& form, LaunchMethod method, long refused) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    // For ioctl only its TIOCSCTTY request is refused.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(refused), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIOCSCTTY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    if (refused != SYS_ioctl) filter[3] = BPF_JUMP(BPF_JMP | BPF_JA, 0, 0, 0);
    sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      ::_exit(3);
    }
    std::string result;
    {
      PtyHarness harness;
      if (harness.start(form, method)) ::_exit(4);
      harness.close_input();
      const auto events = harness.events_until_end();
      result = std::to_string(exit_code_of(events)) + ":" + output_of(events);
    }
    const bool written =
        ::write(out[1], result.data(), result.size()) == static_cast<ssize_t>(result.size());
    ::_exit(written ? 0 : 5);
  }
  ::close(out[1]);
  std::string result;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) result.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) return "";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return result;
}

TEST_P(LaunchHazards, RefusedSessionOrTerminalFailsTheLaunch) {
  const struct {
    long call;
    std::string expected;
  } cases[] = {
      {SYS_setsid, "126:true: cannot start a session: Operation not permitted (os error 1)\r\n"},
      {SYS_ioctl, "126:true: cannot take the terminal: Operation not permitted (os error 1)\r\n"},
  };
  for (const auto& c : cases) {
    const std::string result = run_refused(execute_form("true"), GetParam(), c.call);
    if (result.empty()) GTEST_SKIP() << "no system call filter can be installed here";
    EXPECT_EQ(result, c.expected);
  }
}

TEST(LaunchHazardsChild, LaunchKeepsTheCallersErrno) {
  // A child whose exec fails sets errno on its way; a clone child would set
  // the launching thread's.
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master);
  ASSERT_EQ(::grantpt(master.get()), 0);
  ASSERT_EQ(::unlockpt(master.get()), 0);
  UniqueFd slave = open_terminal_peer(master.get());
  ASSERT_TRUE(slave);
  prepare_child_error_texts();
  const char* candidates[] = {"/nonexistent/zelta-program"};
  char* argv[] = {const_cast<char*>("zelta-program"), nullptr};
  char* envp[] = {nullptr};
  char scratch[kFailureTextRoom + 32];
  ChildExec plan;
  plan.slave_fd = slave.get();
  plan.descriptor_bound = find_descriptor_bound();
  plan.argv = argv;
  plan.envp = envp;
  plan.candidates = candidates;
  plan.candidate_count = 1;
  plan.command = argv[0];
  plan.command_length = 13;
  plan.scratch = scratch;
  plan.scratch_capacity = sizeof scratch;
  for (LaunchMethod method : {LaunchMethod::kVforkClone, LaunchMethod::kFork}) {
    errno = EDOM;
    auto child = start_child(plan, method);
    EXPECT_EQ(errno, EDOM);
    ASSERT_TRUE(child.ok());
    int status = 0;
    ASSERT_EQ(::waitpid(child->pid, &status, 0), child->pid);
    EXPECT_EQ(WEXITSTATUS(status), 127);
  }
}

TEST(LaunchHazardsChild, ForkedChildClosesTheReadinessPipeOpenedAfterTheBound) {
  // A bound found when nothing above 2 was open, as where descriptors are
  // listed before the launch opens its own: the child must still close the
  // readiness pipe before writing a failure line the terminal cannot hold.
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master);
  ASSERT_EQ(::grantpt(master.get()), 0);
  ASSERT_EQ(::unlockpt(master.get()), 0);
  UniqueFd slave = open_terminal_peer(master.get());
  ASSERT_TRUE(slave);
  prepare_child_error_texts();
  const std::string failure(256 * 1024, 'f');
  char* argv[] = {const_cast<char*>("true"), nullptr};
  char scratch[kFailureTextRoom + 32];
  ChildExec plan;
  plan.slave_fd = slave.get();
  plan.descriptor_bound = DescriptorBound{3};
  plan.argv = argv;
  plan.command = argv[0];
  plan.command_length = 4;
  plan.scratch = scratch;
  plan.scratch_capacity = sizeof scratch;
  plan.setup_failure = failure.data();
  plan.setup_failure_length = failure.size();
  plan.setup_failure_status = 126;
  auto started =
      std::async(std::launch::async, [&] { return start_child(plan, LaunchMethod::kFork); });
  const bool in_time = started.wait_for(kLaunchBound) == std::future_status::ready;
  EXPECT_TRUE(in_time) << "the launch waited on the child's failure line";
  std::size_t drained = 0;
  char chunk[65536];
  while (started.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready ||
         drained < failure.size()) {
    const ssize_t n = ::read(master.get(), chunk, sizeof chunk);
    if (n <= 0) break;
    drained += static_cast<std::size_t>(n);
  }
  auto child = started.get();
  ASSERT_TRUE(child.ok());
  int status = 0;
  ASSERT_EQ(::waitpid(child->pid, &status, 0), child->pid);
  EXPECT_EQ(WEXITSTATUS(status), 126);
}

TEST(LaunchHazardsChild, ExecutablesBindEverySymbolAtStart) {
  // The tests are linked as the executor is: with immediate binding no call
  // in a clone child runs the dynamic linker.
  bool now = false;
  for (const ElfW(Dyn)* entry = _DYNAMIC; entry->d_tag != DT_NULL; ++entry) {
    if (entry->d_tag == DT_FLAGS && (entry->d_un.d_val & DF_BIND_NOW) != 0) now = true;
    if (entry->d_tag == DT_FLAGS_1 && (entry->d_un.d_val & DF_1_NOW) != 0) now = true;
    if (entry->d_tag == DT_BIND_NOW) now = true;
  }
  EXPECT_TRUE(now);
}

}  // namespace
}  // namespace zelta::testing
