// Children that run on their creator's memory until they execute: the Linux
// clone calls where they are built, a refusal (ENOSYS) elsewhere.
#pragma once

#include <sys/types.h>

#include "platform/features.h"

namespace zelta {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZELTA_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define ZELTA_SANITIZED_BUILD 1
#endif
#endif

/// True when the clone path is compiled in: Linux calls, and no sanitizer,
/// whose runtime cannot run on the child's private stack.
#if ZELTA_LINUX_CALLS && !defined(ZELTA_SANITIZED_BUILD)
inline constexpr bool kVforkCloneBuilt = true;
#else
inline constexpr bool kVforkCloneBuilt = false;
#endif

/// What a memory-sharing child runs; it never returns (it executes or exits).
using SharedChildEntry = int (*)(void* arg);

/// clone(CLONE_VM | CLONE_VFORK | SIGCHLD), with CLONE_PIDFD when `pidfd` is
/// not null: runs entry(arg) on the stack below `stack_top` and returns once
/// the child has executed or exited, its process descriptor (close-on-exec)
/// in *pidfd. The pid, or -1 with errno set (ENOSYS where not built).
/// Async-signal-safe.
pid_t vfork_clone(SharedChildEntry entry, char* stack_top, void* arg, int* pidfd);

/// clone(CLONE_VM | SIGCHLD): the same child, but the caller goes on at once,
/// so each such child needs a stack of its own. The pid, or -1 with errno set
/// (ENOSYS where not built). Async-signal-safe.
pid_t shared_clone(SharedChildEntry entry, char* stack_top, void* arg);

}  // namespace zelta
