#include "launch/text_file.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/directory_handle.h"
#include "platform/random_bytes.h"
#include "protocol/system_error.h"

namespace zelta {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr unsigned kAlphabetSize = sizeof kAlphabet - 1;

// 0 once every byte is written, else the error number.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

std::string random_text_file_suffix() {
  std::string suffix;
  unsigned char bytes[32];
  while (suffix.size() < 6) {
    // The source never runs dry once seeded.
    if (!fill_random(bytes, sizeof bytes)) continue;
    for (std::size_t i = 0; i < sizeof bytes && suffix.size() < 6; ++i) {
      // Reject the top bytes so every character is equally likely.
      if (bytes[i] >= 248) continue;
      suffix += kAlphabet[bytes[i] % kAlphabetSize];
    }
  }
  return suffix;
}

Result<UniqueFd> create_text_file(std::string_view text, std::string_view directory,
                                  int base_dir_fd) {
  const std::string dir_path(directory.empty() ? std::string_view(".") : directory);
  UniqueFd dir(::openat(base_dir_fd, dir_path.c_str(), kDirectoryHandleFlags));
  if (!dir) return fail(system_error_text(errno));

  std::string name;
  UniqueFd created;
  for (int attempt = 0; attempt < kTextFileAttempts && !created; ++attempt) {
    name.assign(".tmp", 4);
    name.append(random_text_file_suffix());
    created.reset(::openat(dir.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!created && errno != EEXIST) return fail(system_error_text(errno));
  }
  if (!created) return fail(system_error_text(EEXIST));

  // A document cut short would feed the command part of its input as if it
  // were all of it: a write error fails the creation instead.
  if (int error = write_all(created.get(), text); error != 0) {
    ::unlinkat(dir.get(), name.c_str(), 0);
    return fail(system_error_text(error));
  }
  UniqueFd reopened(::openat(dir.get(), name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  int reopen_error = errno;
  ::unlinkat(dir.get(), name.c_str(), 0);
  if (!reopened) return fail(system_error_text(reopen_error));

  struct stat first, second;
  if (::fstat(created.get(), &first) != 0 || ::fstat(reopened.get(), &second) != 0 ||
      first.st_dev != second.st_dev || first.st_ino != second.st_ino) {
    return fail("temporary file was replaced");
  }
  return reopened;
}

}  // namespace zelta
