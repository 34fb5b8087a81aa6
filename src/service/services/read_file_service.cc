#include "service/services/read_file_service.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <new>
#include <string_view>

#include "platform/features.h"
#include "platform/unique_fd.h"
#include "protocol/system_error.h"
#include "protocol/utf8.h"

#if ZELTA_LINUX_CALLS
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace zelta {
namespace {

constexpr const char* kNulInFileName = "file name contained an unexpected NUL byte";
constexpr const char* kNotUtf8 = "stream did not contain valid UTF-8";
constexpr const char* kOwnStream = "file is one of the executor's own standard streams";
constexpr const char* kOwnTerminal = "file is the executor's own controlling terminal";

// Bytes requested per read. The string's storage is extended (and so
// zero-filled) one step at a time just before the read overwrites it, which
// keeps that extra pass over the memory within the cache.
constexpr std::size_t kReadStep = 256 * 1024;
// First capacity when the size of the file is unknown (pipes, /proc files).
constexpr std::size_t kUnknownSizeCapacity = 64 * 1024;

// End of the last complete UTF-8 sequence in `bytes`: a sequence cut off by
// the end of a read is left for the next check.
std::size_t complete_prefix(std::string_view bytes) {
  const std::size_t size = bytes.size();
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(bytes[size - back]);
    if (byte < 0x80) break;
    if (byte < 0xC0) continue;  // continuation byte: look further back
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
    return length > back ? size - back : size;
  }
  return size;
}

bool same_file(const struct stat& a, const struct stat& b) {
  if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) return true;
  return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
}

// Reading the executor's own standard input would take the front end's next
// requests; its output or error stream may be the front end's terminal or
// pipe. The null device is harmless (and often all three).
bool is_own_stream(const struct stat& st) {
  struct stat null_device;
  if (::stat("/dev/null", &null_device) == 0 && same_file(st, null_device)) return false;
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat own;
    if (::fstat(fd, &own) == 0 && same_file(st, own)) return true;
  }
  return false;
}

// True for a file of a kernel file system (/proc, /sys), whose size says
// nothing about what a read returns: 0 for most, 4 KiB for many, while
// /proc/self/pagemap reads on for as long as the address space goes.
bool on_kernel_file_system(int fd, std::string_view path) {
#if ZELTA_LINUX_CALLS
  (void)path;
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return false;
  return fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC;
#else
  (void)fd;
  return path.substr(0, 6) == "/proc/" || path.substr(0, 5) == "/sys/";
#endif
}

// The largest regular file read: half the machine's memory, since the reply
// holds the text once more while it is written. Unknown memory: no bound.
std::uint64_t largest_regular_file() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) / 2 * static_cast<std::uint64_t>(page_size);
}

using Clock = std::chrono::steady_clock;

// Waits until `fd` has data or an end, at most `idle_ms` and not past
// `deadline`. False when the time ran out first.
bool wait_readable(int fd, int idle_ms, Clock::time_point deadline) {
  const Clock::time_point until =
      std::min(deadline, Clock::now() + std::chrono::milliseconds(idle_ms));
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let the read report it
  }
}

// Reads the open file `fd` of `size` bytes (0: unknown) whole. Throws when
// memory runs out.
Result<std::string> read_open_file(int fd, std::size_t size, const StreamLimits& limits) {
  // A file of known size is read to its end, however much it grows meanwhile;
  // everything else is bounded.
  const bool stream = size == 0;
  const std::size_t limit = stream ? limits.max_bytes : SIZE_MAX - kReadStep;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limits.total_ms);
  std::string content;
  // One byte beyond the size, so that the read which finds the end needs no
  // growth: a regular file is never copied to a larger buffer.
  content.reserve(stream ? kUnknownSizeCapacity : size + 1);
  // The text is checked piece by piece while it is still in the cache, and
  // reading stops at the first byte that cannot be UTF-8.
  std::size_t checked = 0;
  for (;;) {
    // Room for one read step beyond the limit tells a stream at the limit
    // from a longer one. Every read asks for a whole step or what is left of
    // the storage, never for a few odd bytes, which some files of /proc
    // refuse (pagemap reads whole entries only).
    if (content.size() == content.capacity()) {
      content.reserve(std::min(content.capacity() * 2, limit + kReadStep));
    }
    const std::size_t before = content.size();
    const std::size_t room = std::min(content.capacity() - before, kReadStep);
    // A FIFO reads as ended while no writer has come yet, so a stream is
    // only read once it has data or has really ended.
    if (stream && !wait_readable(fd, limits.idle_ms, deadline)) {
      return fail(system_error_text(EAGAIN));
    }
    content.resize(before + room);
    const ssize_t n = ::read(fd, content.data() + before, room);
    if (n < 0) {
      const int error = errno;
      content.resize(before);
      if (error == EINTR) continue;
      if ((error == EAGAIN || error == EWOULDBLOCK) && stream) continue;
      return fail(system_error_text(error));
    }
    content.resize(before + static_cast<std::size_t>(n));
    if (content.size() > limit) return fail(system_error_text(EFBIG));
    const std::string_view unchecked = std::string_view(content).substr(checked);
    const std::size_t piece = n == 0 ? unchecked.size() : complete_prefix(unchecked);
    if (!is_valid_utf8(unchecked.substr(0, piece))) return fail(kNotUtf8);
    checked += piece;
    if (n == 0) break;
  }
  return content;
}

}  // namespace

Result<std::string> read_text_file(const std::string& path, const StreamLimits& limits) {
  if (path.find('\0') != std::string::npos) return fail(kNulInFileName);
  // Never blocks in the open: a FIFO without a writer opens at once, and a
  // terminal never becomes the executor's controlling terminal.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(system_error_text(errno));
  UniqueFd file(fd);

  struct stat st;
  const bool stat_ok = ::fstat(fd, &st) == 0;
  // Regular files with a size end and are read whole. Anything else (FIFOs,
  // devices, sockets, files of /proc and /sys, or of no size) may never end or
  // never deliver, so it is bounded in size and time.
  const bool regular = stat_ok && S_ISREG(st.st_mode);
  const bool sized = regular && st.st_size > 0 && !on_kernel_file_system(fd, path);
  if (stat_ok && !regular && is_own_stream(st)) return fail(kOwnStream);
  // Reading the controlling terminal would take the user's keystrokes, or stop
  // the whole executor (SIGTTIN) when it is not in the terminal's foreground.
  if (stat_ok && S_ISCHR(st.st_mode) && ::isatty(fd) && ::tcgetsid(fd) == ::getsid(0)) {
    return fail(kOwnTerminal);
  }
  // Refused before anything is allocated: a sparse file claims any size.
  if (sized && static_cast<std::uint64_t>(st.st_size) > largest_regular_file()) {
    return fail(system_error_text(EFBIG));
  }
  try {
    return read_open_file(fd, sized ? static_cast<std::size_t>(st.st_size) : 0, limits);
  } catch (const std::bad_alloc&) {
    return fail(system_error_text(ENOMEM));
  } catch (const std::length_error&) {
    return fail(system_error_text(ENOMEM));
  }
}

Reply read_file_service(const Request& request) {
  if (!request.path) return error_reply("Missing path");
  auto content = read_text_file(*request.path, kStreamLimits);
  if (!content) return error_reply("Read error: " + content.error());
  Reply reply;
  reply.content = std::move(content).value();
  return reply;
}

}  // namespace zelta
