#include "supervise/chunk_decoder.h"

#include "protocol/utf8.h"

namespace zelta {

std::string_view decode_chunk(std::string_view bytes, std::string& scratch) {
  if (is_valid_utf8(bytes)) return bytes;
  scratch.clear();
  append_utf8_lossy(scratch, bytes);
  return scratch;
}

int pty_exit_code(int wait_status) {
  const int signal_number = wait_status & 0x7F;
  if (signal_number == 0) return (wait_status >> 8) & 0xFF;
  return 128 + signal_number;
}

}  // namespace zelta
