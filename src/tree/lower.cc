// Lowering: a "run.ast" request becomes the launch form of its run.
#include "tree/lower.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "protocol/extensions.h"
#include "tree/ast.h"
#include "tree/ast_decoder.h"

namespace zelta {
namespace {

// The settings every kind shares, each absent one at its default.
LaunchForm settings_of(const Request& request) {
  LaunchForm form;
  if (request.run_id) form.run_id = *request.run_id;
  if (request.cwd) form.cwd = *request.cwd;
  if (request.env) form.env = *request.env;
  form.inherit_environment = !(request.env_clear.value_or(false) && switched_on(Switch::kEnv));
  form.raw_output = request.raw_output.value_or(false);
  form.timeout_ms = request.timeout_ms;
  form.rows = request.rows.value_or(kDefaultRows);
  form.cols = request.cols.value_or(kDefaultCols);
  return form;
}

LaunchCommand command_of(ast::Command& command) {
  return {std::move(command.name), std::move(command.args), std::move(command.redirects)};
}

// The kind of a run of `members` commands; the one place that decides it.
// A pipeline of one member on a terminal is that member run as a single
// command. A terminal the front end opened is for one command, whose launch
// reads nothing from it (a job's launch reads what its members print).
Result<LaunchKind> kind_of(const Request& request, bool pipeline, std::size_t members) {
  const bool terminal = request.terminal.value_or(false);
  const bool single_command = !pipeline || (terminal && members == 1);
  if (request.terminal_fd) {
    if (!single_command) return fail("terminal_fd needs a single command");
    return LaunchKind::kFrontEndTerminalCommand;
  }
  if (single_command) return LaunchKind::kTerminalCommand;
  if (terminal) return LaunchKind::kJob;
  if (request.stream.value_or(false)) return LaunchKind::kStreamedPipeline;
  return LaunchKind::kCollectedPipeline;
}

}  // namespace

Result<LaunchForm> lower_run_ast(const Request& request) {
  if (!request.ast || request.ast->is_null()) return fail("Missing ast");
  // The decoded tree is ours alone, so its strings move into the form.
  auto tree = decode_ast(*request.ast);
  if (!tree) return fail("Invalid ast: " + std::move(tree).error());
  AstNode& root = tree.value();

  std::vector<LaunchCommand> commands;
  bool pipeline = false;
  if (auto* command = std::get_if<ast::Command>(&root.value)) {
    commands.push_back(command_of(*command));
  } else if (auto* members = std::get_if<ast::Pipeline>(&root.value)) {
    pipeline = true;
    commands.reserve(members->commands.size());
    for (AstNode& member : members->commands) {
      auto* command = std::get_if<ast::Command>(&member.value);
      if (command == nullptr) return fail("Unsupported pipeline AST node");
      commands.push_back(command_of(*command));
    }
  } else {
    return fail("Unsupported AST root for run.ast");
  }
  auto kind = kind_of(request, pipeline, commands.size());
  if (!kind) return fail(std::move(kind).error());
  LaunchForm form = settings_of(request);
  form.kind = kind.value();
  if (form.kind == LaunchKind::kFrontEndTerminalCommand) form.terminal_fd = *request.terminal_fd;
  form.commands = std::move(commands);
  return form;
}

}  // namespace zelta
