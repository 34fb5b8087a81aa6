// System calls that return their error number instead of storing it in errno,
// for children that share their memory, and so the errno of the thread that
// created them, with processes running at the same time: the members of a job
// that the leader creates side by side.
#pragma once

#include "platform/features.h"

namespace zelta {

#if ZELTA_LINUX_CALLS && (defined(__x86_64__) || defined(__aarch64__))
#define ZELTA_RAW_SYSCALLS 1
#else
#define ZELTA_RAW_SYSCALLS 0
#endif

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

}  // namespace zelta
