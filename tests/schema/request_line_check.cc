// Tells, for each line on stdin, whether the executor would serve it as a
// request: prints "1" when it is UTF-8 and decodes, "0" when it would be
// answered "Parse error" (or end the executor). The schema checks use it to
// pick the request lines a session holds.
#include <iostream>
#include <string>

#include "protocol/request_decoder.h"
#include "protocol/utf8.h"

int main() {
  std::ios::sync_with_stdio(false);
  std::string line;
  while (std::getline(std::cin, line)) {
    const bool served = zelta::is_valid_utf8(line) && zelta::decode_request(line).ok();
    std::cout << (served ? "1\n" : "0\n");
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
