#include "platform/foreground_process.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include "platform/features.h"
#include "platform/unique_fd.h"

#if !ZELTA_LINUX_CALLS && defined(__APPLE__)
#include <libproc.h>
#endif

namespace zelta {
namespace {

#if ZELTA_LINUX_CALLS
std::string proc_path(pid_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

std::optional<std::string> read_link(const std::string& path) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

// The short name the kernel keeps (at most 15 bytes), completed from the
// executable's file name when it was cut there.
std::optional<std::string> program_name(pid_t pid) {
  UniqueFd file(::open(proc_path(pid, "comm").c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return std::nullopt;
  char buffer[64];
  ssize_t n;
  do {
    n = ::read(file.get(), buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  std::string name(buffer, static_cast<std::size_t>(n));
  if (!name.empty() && name.back() == '\n') name.pop_back();
  if (name.size() == 15) {
    if (auto exe = read_link(proc_path(pid, "exe"))) {
      const std::string base = exe->substr(exe->rfind('/') + 1);
      if (base.size() > name.size() && base.compare(0, name.size(), name) == 0) name = base;
    }
  }
  return name;
}
#endif

}  // namespace

ForegroundProcess foreground_process(int terminal_fd) {
  ForegroundProcess process;
  const pid_t group = ::tcgetpgrp(terminal_fd);
  if (group <= 0) return process;
  process.pid = group;
#if ZELTA_LINUX_CALLS
  process.name = program_name(group);
  process.cwd = read_link(proc_path(group, "cwd"));
#elif defined(__APPLE__)
  char name[PROC_PIDPATHINFO_MAXSIZE];
  if (::proc_name(group, name, sizeof name) > 0) process.name = std::string(name);
  proc_vnodepathinfo paths{};
  if (::proc_pidinfo(group, PROC_PIDVNODEPATHINFO, 0, &paths, sizeof paths) ==
          static_cast<int>(sizeof paths) &&
      paths.pvi_cdir.vip_path[0] != '\0') {
    process.cwd = std::string(paths.pvi_cdir.vip_path);
  }
#endif
  return process;
}

}  // namespace zelta
