// Tells, for each line on stdin, what the executor would make of it: "0" when
// it would be answered "Parse error" (or end the executor), "1" when it is
// served as a request, "2" when it is moreover a "run.ast" request whose tree
// is one the executor runs (a Command, or a Pipeline of Commands). The schema
// checks use it to pick the request lines and trees a session holds.
#include <iostream>
#include <string>

#include "protocol/request_decoder.h"
#include "protocol/utf8.h"
#include "tree/lower.h"

namespace {

char verdict(const std::string& line) {
  if (!zelta::is_valid_utf8(line)) return '0';
  auto request = zelta::decode_request(line);
  if (!request) return '0';
  if (request.value().type != "run.ast") return '1';
  // The tree alone is judged: a terminal the front end handed down, which
  // only a single command may take, is a rule of the request, not of its tree.
  zelta::Request tree_only = std::move(request).value();
  tree_only.terminal_fd.reset();
  auto form = zelta::lower_run_ast(tree_only);
  if (!form) return '1';
  // An empty pipeline lowers, but its launch is refused.
  return form.value().commands.empty() ? '1' : '2';
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::string line;
  while (std::getline(std::cin, line)) std::cout << verdict(line) << '\n';
  std::cout.flush();
  return std::cout ? 0 : 1;
}
