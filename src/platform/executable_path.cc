#include "platform/executable_path.h"

#include <unistd.h>

#include "platform/features.h"

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace zelta {

std::string executable_path() {
  char path[4096];
#if ZELTA_LINUX_CALLS
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<std::size_t>(n));
#elif defined(__APPLE__)
  std::uint32_t size = sizeof path;
  if (::_NSGetExecutablePath(path, &size) != 0) return {};
  return path;
#else
  (void)path;
  return {};
#endif
}

}  // namespace zelta
