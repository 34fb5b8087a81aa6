#include "platform/signal_dispositions.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <string_view>

#include "platform/features.h"
#include "platform/unique_fd.h"

namespace zelta {
namespace {

// Whether `signal_number`'s disposition can be read and is not the default.
bool not_at_default(int signal_number) {
  if (signal_number == SIGKILL || signal_number == SIGSTOP) return false;
  struct sigaction current;
  return ::sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_DFL;
}

#if ZELTA_LINUX_CALLS
// The hexadecimal mask after `key` in the process status text, or false.
bool status_mask(std::string_view status, std::string_view key, std::uint64_t& mask) {
  const std::size_t at = status.find(key);
  if (at == std::string_view::npos) return false;
  std::size_t i = at + key.size();
  while (i < status.size() && (status[i] == ' ' || status[i] == '\t')) ++i;
  const std::size_t start = i;
  mask = 0;
  for (; i < status.size() && i - start < 16; ++i) {
    const char c = status[i];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) break;
    mask = mask << 4 | static_cast<std::uint64_t>(digit);
  }
  return i > start && (i == status.size() || status[i] == '\n');
}

// The signals the kernel lists as ignored or caught by this process, bit n-1
// for signal n: one read of /proc/self/status instead of a query per signal.
// false when it cannot be read.
bool listed_dispositions(std::uint64_t& listed) {
  const UniqueFd file(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
  if (!file) return false;
  char text[4096];
  std::size_t size = 0;
  while (size < sizeof text) {
    const ssize_t n = ::read(file.get(), text + size, sizeof text - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<std::size_t>(n);
  }
  const std::string_view status(text, size);
  std::uint64_t ignored = 0;
  std::uint64_t caught = 0;
  if (!status_mask(status, "\nSigIgn:", ignored) || !status_mask(status, "\nSigCgt:", caught)) {
    return false;
  }
  listed = ignored | caught;
  return true;
}
#endif

}  // namespace

std::size_t signals_not_at_default(int* out) {
  std::size_t count = 0;
#if ZELTA_LINUX_CALLS
  // Only the listed signals are queried (the C library keeps some of them to
  // itself, and their query fails as in the full scan).
  if (std::uint64_t listed = 0; NSIG - 1 <= 64 && listed_dispositions(listed)) {
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
      if ((listed >> (signal_number - 1) & 1) != 0 && not_at_default(signal_number)) {
        out[count++] = signal_number;
      }
    }
    return count;
  }
#endif
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (not_at_default(signal_number)) out[count++] = signal_number;
  }
  return count;
}

}  // namespace zelta
