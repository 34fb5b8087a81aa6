#include "platform/executable_path.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/features.h"

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace zelta {

std::string executable_path(const char* argv0) {
#if ZELTA_LINUX_CALLS
  (void)argv0;
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<std::size_t>(n));
#elif defined(__APPLE__)
  (void)argv0;
  char path[4096];
  std::uint32_t size = sizeof path;
  if (::_NSGetExecutablePath(path, &size) != 0) return {};
  return path;
#else
  // A name without a slash was found through PATH, which may have changed.
  if (argv0 == nullptr || std::strchr(argv0, '/') == nullptr) return {};
  char* resolved = ::realpath(argv0, nullptr);
  if (resolved == nullptr) return {};
  std::string absolute(resolved);
  std::free(resolved);
  return absolute;
#endif
}

}  // namespace zelta
