#include "protocol/system_error.h"

#include <string.h>

namespace zelta {

std::string system_error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r returns a pointer that may or may not be `buffer`.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  std::string result = text;
  result += " (os error ";
  result += std::to_string(error_number);
  result += ")";
  return result;
}

}  // namespace zelta
