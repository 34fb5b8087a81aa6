// stdio_client: runs a command line through stdio_executor in the user's own terminal.
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "clients/cli/diagnostics.h"
#include "clients/cli/executor_connection.h"
#include "clients/cli/input_reader.h"
#include "clients/cli/interactive.h"
#include "clients/cli/session.h"
#include "clients/cli/signal_pipe.h"
#include "clients/cli/syntax_tree.h"
#include "clients/cli/word_splitter.h"

namespace {

using namespace zelta::client;

constexpr const char* kUsage =
    "usage: stdio_client [--trace] [--executor PATH] [-i | COMMAND LINE...]\n"
    "\n"
    "Runs COMMAND LINE through stdio_executor: a single command on a terminal of its own\n"
    "(keystrokes forwarded, exit status passed through), or a pipeline 'a | b | c'.\n"
    "The arguments are joined with spaces and split again with shell quoting rules\n"
    "('...', \"...\", \\); there is no expansion: $, *, ~ reach the program as typed.\n"
    "Redirections <, >, >> (with an optional descriptor number, 2>) apply to a single\n"
    "command. Without COMMAND LINE, or with -i, command lines are read one per line;\n"
    "there a line ending in '&' runs in the background (built-ins: cd, exit, jobs, wait).\n"
    "\n"
    "  --trace          show every protocol line on standard error ('> ' sent, '< ' received)\n"
    "  --executor PATH  the executor to start (default: $ZELTA_STDIO_EXECUTOR, else\n"
    "                   stdio_executor next to this program)\n"
    "  -i               interactive mode\n"
    "  -h, --help       this text\n";

struct Options {
  bool trace = false;
  bool interactive = false;
  std::string executor;
  bool has_command = false;
  std::string command_line;
};

// Parses the options; returns an exit status when the client should end at once.
std::optional<int> parse_options(int argc, char** argv, Options& options) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "-i") {
      options.interactive = true;
    } else if (arg == "-h" || arg == "--help") {
      write_all(STDOUT_FILENO, kUsage);
      return 0;
    } else if (arg == "--executor") {
      if (i + 1 == argc) {
        print_error("--executor needs a path");
        return 2;
      }
      options.executor = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      print_error("unknown option " + std::string(arg));
      write_all(STDERR_FILENO, kUsage);
      return 2;
    } else {
      break;
    }
  }
  options.has_command = i < argc;
  for (int first = i; i < argc; ++i) {
    if (i > first) options.command_line += ' ';
    options.command_line += argv[i];
  }
  if (options.interactive && options.has_command) {
    print_error("-i takes no command line");
    return 2;
  }
  return std::nullopt;
}

int run_once(Session& session, InputReader& input, const std::string& command_line) {
  auto split = split_command_line(command_line);
  if (!split) {
    print_error(split.error().message);
    return 2;
  }
  if (split->empty()) return 0;
  const InputMode mode = isatty(input.fd()) ? InputMode::kKeystrokes : InputMode::kStream;
  auto tree = build_tree(*split, mode == InputMode::kKeystrokes);
  if (!tree) {
    print_error(tree.error());
    return 2;
  }
  return session.run(*tree, input, mode).status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (auto status = parse_options(argc, argv, options)) return *status;
  if (!install_signal_pipe()) {
    print_error(std::string("cannot set up signal handling: ") + std::strerror(errno));
    return 1;
  }
  Session session(locate_executor(options.executor, argv[0]), options.trace);
  InputReader input(STDIN_FILENO);
  if (options.interactive || !options.has_command) {
    return run_interactive(session, input);
  }
  return run_once(session, input, options.command_line);
}
