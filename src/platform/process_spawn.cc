#include "platform/process_spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/close_descriptors.h"
#include "platform/features.h"
#include "platform/pipe.h"

#if ZELTA_LINUX_CALLS
#include <spawn.h>
#endif

namespace zelta {
namespace {

#if ZELTA_LINUX_CALLS

class FileActions {
 public:
  FileActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  // Every signal back to its default disposition (the executor ignores
  // SIGPIPE, and a child must not inherit that) and nothing blocked.
  explicit SpawnAttributes(bool new_session) {
    ::posix_spawnattr_init(&attributes_);
    // Every bit set by hand: sigfillset leaves out the signals the C library
    // keeps for its threads, and the spawn would leave those ignored in the
    // child, where a program started by exec expects them at their default.
    sigset_t all;
    sigset_t none;
    std::memset(&all, 0xFF, sizeof all);
    ::sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&attributes_, &all);
    ::posix_spawnattr_setsigmask(&attributes_, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (new_session) flags |= POSIX_SPAWN_SETSID;
    ::posix_spawnattr_setflags(&attributes_, flags);
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

#else

void write_error(int fd, int error) {
  while (::write(fd, &error, sizeof error) < 0 && errno == EINTR) {
  }
}

// The forked child: only async-signal-safe calls from here to the exec.
[[noreturn]] void run_child(const SpawnPlan& plan, const DescriptorBound& bound, int error_fd) {
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  ::sigemptyset(&defaults.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
    ::sigaction(signal_number, &defaults, nullptr);  // fails harmlessly for reserved ones
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  if (plan.new_session) ::setsid();
  if (plan.cwd != nullptr && ::chdir(plan.cwd) != 0) {
    write_error(error_fd, errno);
    ::_exit(127);
  }
  for (int stream = 0; stream < 3; ++stream) {
    const int source = plan.stdio_fds[stream];
    if (source < 0) continue;
    // A descriptor already in place only loses its close-on-exec flag.
    const int rc = source == stream ? ::fcntl(stream, F_SETFD, 0) : ::dup2(source, stream);
    if (rc < 0) {
      write_error(error_fd, errno);
      ::_exit(127);
    }
  }
  close_descriptors_above_stderr(bound, error_fd);
  ::execve(plan.path, plan.argv, plan.envp);
  write_error(error_fd, errno);
  ::_exit(127);
}

#endif

}  // namespace

int spawn_process(const SpawnPlan& plan, pid_t& pid) {
#if ZELTA_LINUX_CALLS
  // A file action that cannot be recorded (no memory) must fail the start:
  // the child would otherwise write into the executor's own streams.
  FileActions actions;
  int rc = 0;
  if (plan.cwd != nullptr) rc = ::posix_spawn_file_actions_addchdir_np(actions.get(), plan.cwd);
  for (int i = 0; i < 3 && rc == 0; ++i) {
    if (plan.stdio_fds[i] >= 0) {
      rc = ::posix_spawn_file_actions_adddup2(actions.get(), plan.stdio_fds[i], i);
    }
  }
  // The executor's own descriptors are close-on-exec; this also keeps out any
  // that it inherited without the flag from whoever started it.
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
  if (rc != 0) return rc;
  const SpawnAttributes attributes(plan.new_session);
  return ::posix_spawn(&pid, plan.path, actions.get(), attributes.get(), plan.argv, plan.envp);
#else
  // The child reports a failure before the exec through this pipe; a
  // successful exec closes it, so the parent reads end of file.
  PipeEnds report;
  if (const int error = make_pipe(report); error != 0) return error;
  const DescriptorBound bound = find_descriptor_bound();
  const pid_t child = ::fork();
  if (child < 0) return errno;
  if (child == 0) run_child(plan, bound, report.write.get());
  report.write.reset();
  int error = 0;
  ssize_t n;
  do {
    n = ::read(report.read.get(), &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof error)) {
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return error;
  }
  pid = child;
  return 0;
#endif
}

}  // namespace zelta
