// The platform layer, run as built: with the Linux calls, or with every
// portable fallback when the build forces them.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/all_signals_blocked.h"
#include "platform/child_exit_watch.h"
#include "platform/close_descriptors.h"
#include "platform/dir_reader.h"
#include "platform/executable_path.h"
#include "platform/features.h"
#include "platform/pipe.h"
#include "platform/poller.h"
#include "platform/process_spawn.h"
#include "platform/random_bytes.h"
#include "platform/terminal_peer.h"
#include "scratch_dir.h"

namespace zelta {
namespace {

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  return text;
}

bool has_cloexec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

// Sleeps on the watch until `pid` can be reaped; false if ten seconds pass.
bool wait_through_watch(ChildExitWatch& watch, pid_t pid, int& status) {
  for (int round = 0; round < 100; ++round) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    pollfd entry = {watch.fd(), POLLIN, 0};
    ::poll(&entry, 1, 100);
    if (entry.revents != 0) watch.clear();
  }
  return false;
}

pid_t start_sleeper(const char* seconds) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>(seconds), nullptr};
    ::execv("/bin/sleep", argv);
    ::_exit(127);
  }
  return pid;
}

TEST(PlatformChildExitWatch, WakesForItsOwnChildAndReapsNothing) {
  // Two children with overlapping lives: the watch on the long one must not
  // report it on the short one's exit, and neither watch may reap.
  const pid_t quick = start_sleeper("0");
  const pid_t slow = start_sleeper("0.3");
  ChildExitWatch quick_watch = ChildExitWatch::watch(quick);
  ChildExitWatch slow_watch = ChildExitWatch::watch(slow);
  ASSERT_TRUE(quick_watch);
  ASSERT_TRUE(slow_watch);
  EXPECT_TRUE(has_cloexec(quick_watch.fd()));
  int status = -1;
  ASSERT_TRUE(wait_through_watch(quick_watch, quick, status));
  EXPECT_TRUE(WIFEXITED(status));
  // Still ours to reap, whether still asleep or already ended on a busy machine:
  // looked at without reaping it.
  siginfo_t info{};
  EXPECT_EQ(::waitid(P_PID, static_cast<id_t>(slow), &info, WEXITED | WNOHANG | WNOWAIT), 0)
      << std::strerror(errno);
  EXPECT_TRUE(info.si_pid == 0 || info.si_pid == slow) << info.si_pid;
  ASSERT_TRUE(wait_through_watch(slow_watch, slow, status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PlatformChildExitWatch, WatchesComeAndGoOnManyThreadsWhileChildrenEnd) {
  // Watches made and dropped on several threads while children end keep
  // each wake-up with its owner; every child is reaped by its own thread.
  std::vector<std::thread> threads;
  std::vector<int> reaped(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &reaped] {
      for (int i = 0; i < 10; ++i) {
        const pid_t pid = start_sleeper("0");
        ChildExitWatch watch = ChildExitWatch::watch(pid);
        int status = -1;
        if (watch && wait_through_watch(watch, pid, status)) ++reaped[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(reaped, std::vector<int>(4, 10));
}

TEST(PlatformPipe, EndsAreCloseOnExecAndNonBlockingOnlyWhenAsked) {
  for (bool nonblocking : {false, true}) {
    PipeEnds ends;
    ASSERT_EQ(make_pipe(ends, nonblocking), 0);
    for (int fd : {ends.read.get(), ends.write.get()}) {
      EXPECT_TRUE(has_cloexec(fd));
      EXPECT_EQ((::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0, nonblocking);
    }
    set_pipe_capacity(ends.write.get(), 1 << 20);  // best effort, never breaks the pipe
    ASSERT_EQ(::write(ends.write.get(), "x", 1), 1);
    char byte = 0;
    EXPECT_EQ(::read(ends.read.get(), &byte, 1), 1);
  }
}

// The poller answers every step as poll() does on the same entries, while its
// registrations follow entries that come, go and change their events; what
// cannot be registered turns it into poll() without changing an answer.
TEST(PlatformPoller, AnswersAsPollWhileEntriesChange) {
  int a[2], b[2], c[2], d[2];
  for (int* ends : {a, b, c, d}) ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
  ScratchDir scratch;
  const UniqueFd file(::open((scratch.path + "/f").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(file);
  const char byte = 'x';
  char sink[16];
  struct Step {
    const char* what;
    std::function<void()> before;
    std::vector<pollfd> entries;
    bool still_registered;
  };
  const Step steps[] = {
      {"idle", [] {}, {{a[0], POLLIN, 0}, {b[1], POLLOUT, 0}, {-1, 0, 0}, {c[1], 0, 0}}, true},
      {"readable",
       [&] { ASSERT_EQ(::write(a[1], &byte, 1), 1); },
       {{a[0], POLLIN, 0}, {b[1], POLLOUT, 0}, {-1, 0, 0}, {c[1], 0, 0}},
       true},
      {"events changed", [] {}, {{a[0], POLLIN, 0}, {b[1], 0, 0}, {-1, 0, 0}, {c[1], 0, 0}}, true},
      {"reader gone",
       [&] { ::close(c[0]); },
       {{a[0], POLLIN, 0}, {b[1], 0, 0}, {-1, 0, 0}, {c[1], 0, 0}},
       true},
      {"writer gone",
       [&] {
         ASSERT_EQ(::read(a[0], sink, sizeof sink), 1);
         ::close(a[1]);
       },
       {{a[0], POLLIN, 0}, {b[1], POLLOUT, 0}, {-1, 0, 0}, {c[1], 0, 0}},
       true},
      {"entries swapped",
       [&] { ASSERT_EQ(::write(d[1], &byte, 1), 1); },
       {{-1, 0, 0}, {b[1], POLLOUT, 0}, {d[0], POLLIN, 0}, {c[1], 0, 0}},
       true},
      {"fewer entries", [] {}, {{b[1], POLLOUT, 0}, {d[0], POLLIN, 0}}, true},
      {"same descriptor twice", [] {}, {{d[0], POLLIN, 0}, {d[0], POLLIN, 0}}, false},
      {"regular file", [] {}, {{file.get(), POLLIN, 0}, {d[0], POLLIN, 0}}, false},
  };
  // One poller through all steps but the last two, which each need a fresh one.
  Poller shared;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    Poller fresh;
    Poller& poller = step.still_registered ? shared : fresh;
    std::vector<pollfd> expected = step.entries, got = step.entries;
    const int want = ::poll(expected.data(), expected.size(), 0);
    for (pollfd& entry : got) entry.revents = -1;
    EXPECT_EQ(poller.poll(got.data(), got.size(), 0), want);
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].revents, expected[i].revents) << "entry " << i;
    }
    EXPECT_EQ(poller.registered(), kLinuxCalls && step.still_registered);
  }
  for (int fd : {a[0], b[0], b[1], c[1], d[0], d[1]}) ::close(fd);
}

// A wait that checks without sleeping first answers as the plain wait does:
// what is ready at once, what arrives during its checks, what arrives only
// after it has gone to sleep, and nothing when its time runs out.
TEST(PlatformPoller, WaitExpectingAnAnswerReportsWhatComesBeforeOrAfterItsChecks) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
  const UniqueFd reader(ends[0]), writer(ends[1]);
  Poller poller;
  char byte = 'x';
  const auto wait_with = [&](int timeout_ms, int spin_us) {
    pollfd entry{reader.get(), POLLIN, 0};
    const int ready = poller.poll_expecting(&entry, 1, timeout_ms, spin_us);
    EXPECT_EQ(entry.revents, ready == 1 ? POLLIN : 0);
    if (ready == 1) {
      EXPECT_EQ(::read(reader.get(), &byte, 1), 1);
    }
    return ready;
  };
  EXPECT_EQ(wait_with(0, 1000), 0);
  EXPECT_EQ(wait_with(30, 10), 0);
  ASSERT_EQ(::write(writer.get(), &byte, 1), 1);
  EXPECT_EQ(wait_with(-1, 10), 1);
  // Written long after a short check and well within a long one.
  for (const int spin_us : {10, 60'000'000}) {
    std::thread late([&writer] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const char late_byte = 'y';
      ASSERT_EQ(::write(writer.get(), &late_byte, 1), 1);
    });
    EXPECT_EQ(wait_with(-1, spin_us), 1) << spin_us;
    late.join();
  }
}

TEST(PlatformCloseDescriptors, ChildKeepsOnlyTheStandardStreamsAndTheOneAskedFor) {
  // Descriptors without close-on-exec, one far above the others, stand for
  // ones inherited from whoever started the executor.
  const int low = ::open("/dev/null", O_RDONLY);
  const int high = ::fcntl(low, F_DUPFD, 200);
  const int kept = ::fcntl(low, F_DUPFD, 150);
  ASSERT_GE(high, 200);
  const DescriptorBound bound = find_descriptor_bound();
  EXPECT_GT(bound.end, high);
  for (int keep : {-1, kept}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      close_descriptors_above_stderr(bound, keep);
      // Exit status: bit 0 a closed descriptor still open, bit 1 the kept one gone.
      int result = 0;
      for (int fd : {low, high}) result |= ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
      if (keep >= 0 && ::fcntl(keep, F_GETFD) == -1) result |= 2;
      if (keep < 0 && ::fcntl(kept, F_GETFD) != -1) result |= 1;
      for (int fd = 0; fd < 3; ++fd) result |= ::fcntl(fd, F_GETFD) == -1 ? 4 : 0;
      ::_exit(result);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "keep " << keep;
  }
  for (int fd : {low, high, kept}) ::close(fd);
}

TEST(PlatformCloseDescriptors, ChildKeepsAListOfDescriptors) {
  int fds[6];
  for (int& fd : fds) fd = ::open("/dev/null", O_RDONLY);
  std::sort(std::begin(fds), std::end(fds));
  const DescriptorBound bound = find_descriptor_bound();
  // Kept: none, the lowest, two apart, neighbours, the highest; entries
  // below 3 are ignored.
  const std::vector<std::vector<int>> keeps = {
      {}, {fds[0]}, {1, fds[1], fds[3]}, {fds[2], fds[3]}, {fds[5]}};
  for (const auto& keep : keeps) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      close_descriptors_above_stderr(bound, keep.data(), keep.size());
      int wrong = 0;
      for (int fd : fds) {
        const bool kept = std::find(keep.begin(), keep.end(), fd) != keep.end();
        if ((::fcntl(fd, F_GETFD) != -1) != kept) ++wrong;
      }
      for (int fd = 0; fd < 3; ++fd) wrong += ::fcntl(fd, F_GETFD) == -1 ? 1 : 0;
      ::_exit(wrong);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0) << keep.size() << " kept";
  }
  for (int fd : fds) ::close(fd);
}

TEST(PlatformSignals, EverySignalIsBlockedTheLibrarysOwnToo) {
  sigset_t before;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &before);
  {
    AllSignalsBlocked blocked;
    if constexpr (kLinuxCalls) {
      // Read back with the raw call: the C library hides its own signals.
      std::uint64_t mask = 0;
      ASSERT_EQ(::syscall(SYS_rt_sigprocmask, SIG_BLOCK, nullptr, &mask, sizeof mask), 0);
      EXPECT_EQ(mask, ~std::uint64_t{0} & ~(std::uint64_t{1} << (SIGKILL - 1)) &
                          ~(std::uint64_t{1} << (SIGSTOP - 1)));
    } else {
      sigset_t now;
      ::pthread_sigmask(SIG_SETMASK, nullptr, &now);
      for (int s : {SIGINT, SIGTERM, SIGCHLD, SIGUSR1}) EXPECT_TRUE(::sigismember(&now, s));
    }
  }
  sigset_t after;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &after);
  for (int s = 1; s < NSIG; ++s) EXPECT_EQ(::sigismember(&after, s), ::sigismember(&before, s));
}

TEST(PlatformDirReader, ListsEveryEntryWithItsTypeAndFailsOnAFile) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::set<std::string> expected = {".", ".."};
  for (int i = 0; i < 300; ++i) {  // more than one batch of names
    const std::string name = "entry-" + std::to_string(i) + std::string(40, 'n');
    dir.write_file(name, "");
    expected.insert(name);
  }
  ASSERT_EQ(::mkdir((dir.path + "/sub").c_str(), 0755), 0);
  expected.insert("sub");

  UniqueFd fd(::open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::set<std::string> seen;
  DirReader reader(fd.get());
  unsigned char type = 0;
  unsigned char sub_type = 0;
  while (const char* name = reader.next(type)) {
    EXPECT_TRUE(seen.insert(name).second) << name;
    if (std::strcmp(name, "sub") == 0) sub_type = type;
  }
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(sub_type == DT_DIR || sub_type == DT_UNKNOWN);
  ::rmdir((dir.path + "/sub").c_str());

  UniqueFd file(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  DirReader not_a_directory(file.get());
  EXPECT_EQ(not_a_directory.next(type), nullptr);
  EXPECT_TRUE(not_a_directory.failed());
}

TEST(PlatformTerminalPeer, OpensTheSlaveOfANewTerminal) {
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master);
  ASSERT_EQ(::grantpt(master.get()), 0);
  ASSERT_EQ(::unlockpt(master.get()), 0);
  UniqueFd peer = open_terminal_peer(master.get());
  ASSERT_TRUE(peer);
  EXPECT_TRUE(::isatty(peer.get()));
  EXPECT_TRUE(has_cloexec(peer.get()));
  ASSERT_EQ(::write(master.get(), "hi\n", 3), 3);
  char buffer[8] = {};
  EXPECT_EQ(::read(peer.get(), buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "hi\n");
  EXPECT_FALSE(open_terminal_peer(-1));
}

struct SpawnOutcome {
  int error = -1;
  int status = -1;
  std::string output;
};

// Spawns `argv` with standard output on a pipe, in `cwd`.
SpawnOutcome spawn_and_collect(std::vector<std::string> args, const char* cwd) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  char* envp[] = {nullptr};
  PipeEnds out;
  EXPECT_EQ(make_pipe(out), 0);
  SpawnPlan plan;
  plan.path = argv[0];
  plan.argv = argv.data();
  plan.envp = envp;
  plan.cwd = cwd;
  plan.stdio_fds[1] = out.write.get();
  SpawnOutcome outcome;
  pid_t pid = -1;
  outcome.error = spawn_process(plan, pid);
  out.write.reset();
  outcome.output = read_all(out.read.get());
  if (outcome.error == 0) ::waitpid(pid, &outcome.status, 0);
  return outcome;
}

TEST(PlatformSpawn, ChangesDirectoryClosesDescriptorsAndReportsEachFailure) {
  ScratchDir dir;
  dir.write_file("script", "echo no interpreter line\n", 0755);
  dir.write_file("plain", "not a program\n", 0644);
  const int inherited = ::open("/dev/null", O_RDONLY);  // not close-on-exec
  const std::string fd_path = "/dev/fd/" + std::to_string(inherited);
  struct Case {
    std::vector<std::string> argv;
    const char* cwd;
    int error;
    std::string output;
  } cases[] = {
      {{"/bin/pwd"}, dir.path.c_str(), 0, dir.path + "\n"},
      {{"/bin/sh", "-c", "test -e " + fd_path + " && echo open || echo closed"},
       nullptr,
       0,
       "closed\n"},
      {{"/bin/pwd"}, "/nonexistent-directory", ENOENT, ""},
      {{dir.path + "/missing"}, nullptr, ENOENT, ""},
      {{dir.path + "/script"}, nullptr, ENOEXEC, ""},
      {{dir.path + "/plain"}, nullptr, EACCES, ""},
  };
  for (Case& c : cases) {
    SpawnOutcome outcome = spawn_and_collect(c.argv, c.cwd);
    EXPECT_EQ(outcome.error, c.error) << c.argv[0];
    if (c.error != 0) continue;
    EXPECT_EQ(outcome.output, c.output) << c.argv.back();
    EXPECT_EQ(WEXITSTATUS(outcome.status), 0);
  }
  ::close(inherited);
  // Failed starts leave no child behind.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(PlatformSpawn, SignalsStartAtTheirDefaultsUnblocked) {
  // The executor ignores SIGPIPE; a program must not inherit that, nor a
  // signal the spawning thread blocks.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, previous;
  ::sigemptyset(&blocked);
  ::sigaddset(&blocked, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  SpawnOutcome outcome =
      spawn_and_collect({"/bin/grep", "-E", "^Sig(Ign|Blk)", "/proc/self/status"}, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  EXPECT_EQ(outcome.error, 0);
  EXPECT_EQ(outcome.output, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(PlatformMisc, RandomBytesAndTheOwnExecutable) {
  unsigned char first[600] = {};
  unsigned char second[600] = {};
  ASSERT_TRUE(fill_random(first, sizeof first));
  ASSERT_TRUE(fill_random(second, sizeof second));
  EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
  // Past the first 256 bytes too (the portable source hands out 256 a call).
  EXPECT_TRUE(std::any_of(first + 512, first + 600, [](unsigned char b) { return b != 0; }));

  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  EXPECT_EQ(executable_path(self), self);
}

}  // namespace
}  // namespace zelta
