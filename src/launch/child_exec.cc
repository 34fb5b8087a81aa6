// Runs in the child of a possibly multi-threaded process, either forked or
// sharing the parent's memory while the parent waits: between its creation and
// the exec only async-signal-safe calls are allowed here (no memory
// allocation, no locks, no stdio, no errno-to-text lookups), and nothing the
// parent relies on may be written but errno, which the parent restores. The
// executable is linked with immediate binding, so no call here runs the
// dynamic linker. The two calls whose failure decides what the child does next
// (the directory change and the exec) report their error without errno where
// the platform allows, so children sharing memory with each other can run
// side by side.
#include "launch/child_exec.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/raw_syscall.h"
#include "platform/unique_fd.h"
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

// The error of execve(path, argv, envp); it returns only on failure.
int exec_error(const char* path, char* const* argv, char* const* envp) {
#if ZELTA_RAW_SYSCALLS
  return static_cast<int>(-raw_syscall3(SYS_execve, reinterpret_cast<long>(path),
                                        reinterpret_cast<long>(argv),
                                        reinterpret_cast<long>(envp)));
#else
  ::execve(path, argv, envp);
  return errno;
#endif
}

// 0, or the error of chdir(path).
int chdir_error(const char* path) {
#if ZELTA_RAW_SYSCALLS
  return static_cast<int>(-raw_syscall3(SYS_chdir, reinterpret_cast<long>(path), 0, 0));
#else
  return ::chdir(path) == 0 ? 0 : errno;
#endif
}

// 0, or the error of looking `path` up for existence. A candidate that plainly
// does not exist is passed over without an exec, which costs the kernel more:
// it sets up the new program's arguments and environment before the lookup.
int lookup_error(const char* path) {
#if ZELTA_RAW_SYSCALLS
  return static_cast<int>(
      -raw_syscall3(SYS_faccessat, AT_FDCWD, reinterpret_cast<long>(path), F_OK));
#else
  return ::access(path, F_OK) == 0 ? 0 : errno;
#endif
}

std::size_t length_of(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
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

// Writes "<name><separator><error text>\n" to standard error as one write and
// exits with `status`.
[[noreturn]] void fail_with(const ChildExec& plan, const char* name, std::size_t name_length,
                            const char* separator, int error, int status) {
  const std::size_t cap = plan.scratch_capacity - 1;
  std::size_t at = append(plan.scratch, 0, cap, name, name_length);
  at = append(plan.scratch, at, cap, separator, length_of(separator));
  if (g_texts != nullptr && error >= 0 && error < kMaxTabledError) {
    const std::string& text = (*g_texts)[error];
    at = append(plan.scratch, at, cap, text.data(), text.size());
  } else {
    static constexpr char kUnknown[] = "Unknown error ";
    static constexpr char kOs[] = " (os error ";
    at = append(plan.scratch, at, cap, kUnknown, sizeof kUnknown - 1);
    at = append_decimal(plan.scratch, at, cap, error);
    at = append(plan.scratch, at, cap, kOs, sizeof kOs - 1);
    at = append_decimal(plan.scratch, at, cap, error);
    at = append(plan.scratch, at, cap, ")", 1);
  }
  plan.scratch[at++] = '\n';
  write_all(2, plan.scratch, at);
  ::_exit(status);
}

[[noreturn]] void fail_exec(const ChildExec& plan, int error) {
  if (error == ENOENT) {
    const std::size_t cap = plan.scratch_capacity;
    static constexpr char kNotFound[] = ": command not found\n";
    std::size_t at = append(plan.scratch, 0, cap, plan.command, plan.command_length);
    at = append(plan.scratch, at, cap, kNotFound, sizeof kNotFound - 1);
    write_all(2, plan.scratch, at);
    ::_exit(127);
  }
  fail_with(plan, plan.command, plan.command_length, ": failed to execute: ", error, 126);
}

// Opens or installs one redirection on its standard descriptor. A name is
// opened here, in the child's own context and directory, so /dev/stdout,
// /dev/tty or a FIFO mean what they mean to the command; the open may block
// until a FIFO's peer arrives, which keeps only the command waiting.
void apply_step(const ChildExec& plan, const RedirectStep& step) {
  if (!step.failure.empty()) {
    write_all(2, step.failure.data(), step.failure.size());
    ::_exit(1);
  }
  if (step.dup_from >= 0) {
    ::dup2(step.dup_from, step.target);
    return;
  }
  if (step.path == nullptr) {
    // Closed once installed, so a later step that waits holds only 0-2.
    ::dup2(step.fd.get(), step.target);
    ::close(step.fd.get());
    return;
  }
  int fd;
  do {
    fd = ::open(step.path, step.flags | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) fail_with(plan, step.path, length_of(step.path), ": ", errno, 1);
  // Descriptors 0-2 are open, so the new one is 3 or higher.
  ::dup2(fd, step.target);
  ::close(fd);
}

}  // namespace

void prepare_child_error_texts() { g_texts = &error_texts(); }

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

namespace {

// Whether `signal_number`'s disposition can be read and is not the default.
bool not_at_default(int signal_number) {
  if (signal_number == SIGKILL || signal_number == SIGSTOP) return false;
  struct sigaction current;
  return ::sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_DFL;
}

#if ZELTA_LINUX_CALLS
// The hexadecimal mask after `key` in the process status text, or false.
bool status_mask(std::string_view status, std::string_view key, std::uint64_t& mask) {
  const std::size_t at = status.find(key);
  if (at == std::string_view::npos) return false;
  std::size_t i = at + key.size();
  while (i < status.size() && (status[i] == ' ' || status[i] == '\t')) ++i;
  const std::size_t start = i;
  mask = 0;
  for (; i < status.size() && i - start < 16; ++i) {
    const char c = status[i];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) break;
    mask = mask << 4 | static_cast<std::uint64_t>(digit);
  }
  return i > start && (i == status.size() || status[i] == '\n');
}

// The signals the kernel lists as ignored or caught by this process, bit n-1
// for signal n: one read of /proc/self/status instead of a query per signal.
// false when it cannot be read.
bool listed_dispositions(std::uint64_t& listed) {
  const UniqueFd file(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
  if (!file) return false;
  char text[4096];
  std::size_t size = 0;
  while (size < sizeof text) {
    const ssize_t n = ::read(file.get(), text + size, sizeof text - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<std::size_t>(n);
  }
  const std::string_view status(text, size);
  std::uint64_t ignored = 0;
  std::uint64_t caught = 0;
  if (!status_mask(status, "\nSigIgn:", ignored) || !status_mask(status, "\nSigCgt:", caught)) {
    return false;
  }
  listed = ignored | caught;
  return true;
}
#endif

}  // namespace

std::size_t signals_not_at_default(int* out) {
  std::size_t count = 0;
#if ZELTA_LINUX_CALLS
  // Only the listed signals are queried (the C library keeps some of them to
  // itself, and their query fails as in the full scan).
  if (std::uint64_t listed = 0; NSIG - 1 <= 64 && listed_dispositions(listed)) {
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
      if ((listed >> (signal_number - 1) & 1) != 0 && not_at_default(signal_number)) {
        out[count++] = signal_number;
      }
    }
    return count;
  }
#endif
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (not_at_default(signal_number)) out[count++] = signal_number;
  }
  return count;
}

void exec_in_child(const ChildExec& plan) {
  // Signals first: the parent blocked them all around the child's creation,
  // so no handler of the executor runs here; set those dispositions back to
  // the default before the mask opens, and before the terminal is ours, so a
  // typed Ctrl-C finds the default even if the executor ignores it.
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  ::sigemptyset(&defaults.sa_mask);
  for (std::size_t i = 0; i < plan.reset_signal_count; ++i) {
    ::sigaction(plan.reset_signals[i], &defaults, nullptr);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  // Without a session of its own and the terminal as its controlling
  // terminal, typed Ctrl-C would reach nothing: a sandbox that refuses either
  // fails the launch rather than run the command half attached. Without a
  // terminal of its own (a member of a job on a terminal) the child keeps the
  // session, group and streams it was given.
  const char* refused = nullptr;
  int refusal = 0;
  if (plan.slave_fd >= 0) {
    if (::setsid() < 0) {
      refused = ": cannot start a session: ";
      refusal = errno;
    } else if (::ioctl(plan.slave_fd, TIOCSCTTY, 0) < 0) {
      refused = ": cannot take the terminal: ";
      refusal = errno;
    }
    for (int stream = 0; stream < 3; ++stream) ::dup2(plan.slave_fd, stream);
  }
  // Everything above 2 goes before the first step that may wait: a child
  // stuck in an open must not hold the terminal's master (the terminal would
  // never hang up when the executor dies) or any other of the executor's
  // descriptors. That closes the readiness pipe too, so the parent announces
  // the run now: typed input already reaches this session.
  close_descriptors_above_stderr(plan.descriptor_bound, plan.kept_fds, plan.kept_fd_count);
  if (refused != nullptr) {
    fail_with(plan, plan.command, plan.command_length, refused, refusal, 126);
  }
  if (plan.cwd != nullptr) {
    if (const int error = chdir_error(plan.cwd); error != 0) {
      fail_with(plan, plan.cwd, length_of(plan.cwd), ": ", error, 1);
    }
  }

  if (plan.setup_failure != nullptr) {
    write_all(2, plan.setup_failure, plan.setup_failure_length);
    ::_exit(plan.setup_failure_status);
  }
  for (std::size_t i = 0; i < plan.redirect_count; ++i) apply_step(plan, plan.redirects[i]);
  // Anything a step left above 2 goes now.
  close_descriptors_above_stderr(plan.descriptor_bound);
  if (plan.exec_failure != nullptr) {
    write_all(2, plan.exec_failure, plan.exec_failure_length);
    ::_exit(126);
  }

  // The exec search: a permission failure on any candidate wins over
  // not-found; a missing file or directory moves on; anything else stops.
  bool denied = false;
  int error = ENOENT;
  for (std::size_t i = 0; i < plan.candidate_count; ++i) {
    const char* path = plan.candidates[i];
    if (const int missing = lookup_error(path); missing == ENOENT || missing == ENOTDIR) {
      error = missing;
      continue;
    }
    error = exec_error(path, plan.argv, plan.envp);
    if (error == ENOEXEC) {
      plan.shell_argv[1] = const_cast<char*>(path);
      error = exec_error("/bin/sh", plan.shell_argv, plan.envp);
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
