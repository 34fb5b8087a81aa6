// Runs in a forked child of a possibly multi-threaded process: between the
// fork and the exec only async-signal-safe calls are allowed here (no memory
// allocation, no locks, no stdio, no errno-to-text lookups).
#include "launch/child_exec.h"

#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <string>

#include "protocol/system_error.h"

namespace zelta {
namespace {

constexpr int kMaxTabledError = 134;

// "Description (os error N)" for every error number below kMaxTabledError,
// built by the parent so the child never has to call strerror.
std::array<std::string, kMaxTabledError>& error_texts() {
  static std::array<std::string, kMaxTabledError> texts = [] {
    std::array<std::string, kMaxTabledError> built;
    for (int e = 0; e < kMaxTabledError; ++e) built[e] = system_error_text(e);
    return built;
  }();
  return texts;
}

const std::array<std::string, kMaxTabledError>* g_texts = nullptr;

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::size_t append(char* out, std::size_t at, std::size_t capacity, const char* text,
                   std::size_t length) {
  for (std::size_t i = 0; i < length && at < capacity; ++i) out[at++] = text[i];
  return at;
}

std::size_t append_decimal(char* out, std::size_t at, std::size_t capacity, int value) {
  char digits[12];
  int n = 0;
  unsigned v = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (value < 0 && at < capacity) out[at++] = '-';
  while (n > 0 && at < capacity) out[at++] = digits[--n];
  return at;
}

[[noreturn]] void fail_exec(const ChildExec& plan, int error) {
  if (error == ENOENT) {
    write_all(2, plan.not_found, plan.not_found_length);
    ::_exit(127);
  }
  const std::size_t cap = plan.failure_capacity;
  std::size_t at = plan.failure_prefix_length;
  if (g_texts != nullptr && error >= 0 && error < kMaxTabledError) {
    const std::string& text = (*g_texts)[error];
    at = append(plan.failure, at, cap - 1, text.data(), text.size());
  } else {
    static constexpr char kUnknown[] = "Unknown error ";
    static constexpr char kOs[] = " (os error ";
    at = append(plan.failure, at, cap - 1, kUnknown, sizeof kUnknown - 1);
    at = append_decimal(plan.failure, at, cap - 1, error);
    at = append(plan.failure, at, cap - 1, kOs, sizeof kOs - 1);
    at = append_decimal(plan.failure, at, cap - 1, error);
    at = append(plan.failure, at, cap - 1, ")", 1);
  }
  plan.failure[at++] = '\n';
  write_all(2, plan.failure, at);
  ::_exit(126);
}

}  // namespace

void prepare_child_error_texts() { g_texts = &error_texts(); }

void exec_in_child(const ChildExec& plan) {
  // Signals first: once the terminal is ours, a typed Ctrl-C must find the
  // default disposition even if the executor was started with it ignored.
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  ::sigemptyset(&defaults.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
    ::sigaction(signal_number, &defaults, nullptr);  // fails harmlessly for reserved ones
  }

  ::setsid();
  ::ioctl(plan.slave_fd, TIOCSCTTY, 0);
  for (int stream = 0; stream < 3; ++stream) {
    int source = plan.stdio_fds[stream] >= 0 ? plan.stdio_fds[stream] : plan.slave_fd;
    // Every prepared descriptor is 3 or higher, so installing one stream
    // never overwrites the source of another.
    ::dup2(source, stream);
  }
  if (plan.cwd_fd >= 0) ::fchdir(plan.cwd_fd);
  // The executor's own descriptors are close-on-exec, but one it inherited
  // without that flag would otherwise reach the program too.
  // This also closes the launch's readiness pipe: the parent announces the
  // run only once the terminal is this process's controlling terminal.
  close_descriptors_above_stderr(plan.descriptor_bound);

  if (plan.setup_failure != nullptr) {
    write_all(2, plan.setup_failure, plan.setup_failure_length);
    ::_exit(plan.setup_failure_status);
  }

  // The exec search: a permission failure on any candidate wins over
  // not-found; a missing file or directory moves on; anything else stops.
  bool denied = false;
  int error = ENOENT;
  for (std::size_t i = 0; i < plan.candidate_count; ++i) {
    const char* path = plan.candidates[i];
    ::execve(path, plan.argv, plan.envp);
    error = errno;
    if (error == ENOEXEC) {
      plan.shell_argv[1] = const_cast<char*>(path);
      ::execve("/bin/sh", plan.shell_argv, plan.envp);
      error = errno;
    }
    if (error == EACCES) {
      denied = true;
      continue;
    }
    if (error == ENOENT || error == ENOTDIR || error == ESTALE || error == ENODEV ||
        error == ETIMEDOUT) {
      continue;
    }
    fail_exec(plan, error);
  }
  fail_exec(plan, denied ? EACCES : error);
}

}  // namespace zelta
