// System calls that return their error number instead of storing it in errno,
// for children that share their memory, and so the errno of the thread that
// created them, with processes running at the same time: the members of a job
// that the leader creates side by side.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/features.h"

#if ZELTA_LINUX_CALLS && (defined(__x86_64__) || defined(__aarch64__))
#define ZELTA_RAW_SYSCALLS 1
#include <sys/syscall.h>
#else
#define ZELTA_RAW_SYSCALLS 0
#endif

namespace zelta {

#if ZELTA_RAW_SYSCALLS
inline constexpr bool kRawSyscallsBuilt = true;

/// The kernel's own result of system call `number`: the value, or -error.
/// Touches no memory but what the call itself does.
inline long raw_syscall3(long number, long a, long b, long c) {
#if defined(__x86_64__)
  long result;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a), "S"(b), "d"(c)
                   : "rcx", "r11", "memory");
  return result;
#else
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2) : "memory");
  return x0;
#endif
}
#else
inline constexpr bool kRawSyscallsBuilt = false;
#endif

// Each call below returns its error number (0 for success) and, where raw
// system calls are built, leaves errno alone. Async-signal-safe.

/// The error of execve(path, argv, envp), which returns only on failure.
inline int execve_error(const char* path, char* const* argv, char* const* envp) {
#if ZELTA_RAW_SYSCALLS
  return static_cast<int>(-raw_syscall3(SYS_execve, reinterpret_cast<long>(path),
                                        reinterpret_cast<long>(argv),
                                        reinterpret_cast<long>(envp)));
#else
  ::execve(path, argv, envp);
  return errno;
#endif
}

/// 0, or the error of chdir(path).
inline int chdir_error(const char* path) {
#if ZELTA_RAW_SYSCALLS
  return static_cast<int>(-raw_syscall3(SYS_chdir, reinterpret_cast<long>(path), 0, 0));
#else
  return ::chdir(path) == 0 ? 0 : errno;
#endif
}

/// 0, or the error of looking `path` up for existence (access F_OK).
inline int lookup_error(const char* path) {
#if ZELTA_RAW_SYSCALLS
  return static_cast<int>(
      -raw_syscall3(SYS_faccessat, AT_FDCWD, reinterpret_cast<long>(path), F_OK));
#else
  return ::access(path, F_OK) == 0 ? 0 : errno;
#endif
}

}  // namespace zelta
