#include "service/services/read_file_service.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/unique_fd.h"
#include "protocol/system_error.h"
#include "protocol/utf8.h"

namespace zelta {
namespace {

constexpr const char* kNulInFileName = "file name contained an unexpected NUL byte";
constexpr const char* kNotUtf8 = "stream did not contain valid UTF-8";

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

}  // namespace

Result<std::string> read_text_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) return fail(kNulInFileName);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(system_error_text(errno));
  UniqueFd file(fd);

  std::size_t hint = 0;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) hint = static_cast<std::size_t>(st.st_size);
  std::string content;
  // One byte beyond the size, so that the read which finds the end needs no
  // growth: a regular file is never copied to a larger buffer.
  content.reserve(hint > 0 ? hint + 1 : kUnknownSizeCapacity);
  // The text is checked piece by piece while it is still in the cache, and
  // reading stops at the first byte that cannot be UTF-8.
  std::size_t checked = 0;
  for (;;) {
    if (content.size() == content.capacity()) content.reserve(content.capacity() * 2);
    const std::size_t before = content.size();
    const std::size_t room = std::min(content.capacity() - before, kReadStep);
    content.resize(before + room);
    const ssize_t n = ::read(fd, content.data() + before, room);
    if (n < 0) {
      const int error = errno;
      content.resize(before);
      if (error == EINTR) continue;
      return fail(system_error_text(error));
    }
    content.resize(before + static_cast<std::size_t>(n));
    const std::string_view unchecked = std::string_view(content).substr(checked);
    const std::size_t piece = n == 0 ? unchecked.size() : complete_prefix(unchecked);
    if (!is_valid_utf8(unchecked.substr(0, piece))) return fail(kNotUtf8);
    checked += piece;
    if (n == 0) break;
  }
  return content;
}

Reply read_file_service(const Request& request) {
  if (!request.path) return error_reply("Missing path");
  auto content = read_text_file(*request.path);
  if (!content) return error_reply("Read error: " + content.error());
  Reply reply;
  reply.content = std::move(content).value();
  return reply;
}

}  // namespace zelta
