// Which system calls the platform layer may use: the Linux ones, or only the
// portable fallbacks (forced on Linux by the ZELTA_PORTABLE_FALLBACKS option).
#pragma once

/// 1 when the Linux-only calls are compiled in. Code outside src/platform/
/// tests this only to choose between a Linux-only path and its portable one.
#if defined(__linux__) && !defined(ZELTA_PORTABLE_FALLBACKS)
#define ZELTA_LINUX_CALLS 1
#else
#define ZELTA_LINUX_CALLS 0
#endif

namespace zelta {

/// The same choice as a constant, for code that prefers `if constexpr`.
inline constexpr bool kLinuxCalls = ZELTA_LINUX_CALLS != 0;

}  // namespace zelta
