// Lowering: a "run.ast" request becomes the execute form or the pipeline form.
#include "tree/lower.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "tree/ast.h"
#include "tree/ast_decoder.h"

namespace zelta {
namespace {

// A launch form starts with only the fields every form carries over.
Request carried_fields(const Request& request, std::string type) {
  Request form;
  form.type = std::move(type);
  form.run_id = request.run_id;
  form.cwd = request.cwd;
  form.env = request.env;
  form.env_clear = request.env_clear;
  form.raw_output = request.raw_output;
  form.terminal_fd = request.terminal_fd;
  form.timeout_ms = request.timeout_ms;
  form.rows = request.rows;
  form.cols = request.cols;
  return form;
}

}  // namespace

Result<Request> lower_run_ast(const Request& request) {
  if (!request.ast || request.ast->is_null()) return fail("Missing ast");
  // The decoded tree is ours alone, so its strings move into the form.
  auto tree = decode_ast(*request.ast);
  if (!tree) return fail("Invalid ast: " + std::move(tree).error());
  AstNode& root = tree.value();

  if (auto* command = std::get_if<ast::Command>(&root.value)) {
    Request form = carried_fields(request, "execute");
    form.command = std::move(command->name);
    form.args = std::move(command->args);
    form.redirects = std::move(command->redirects);
    return form;
  }
  auto* pipeline = std::get_if<ast::Pipeline>(&root.value);
  if (pipeline == nullptr) return fail("Unsupported AST root for run.ast");

  std::vector<PipelineCommand> commands;
  commands.reserve(pipeline->commands.size());
  for (AstNode& member : pipeline->commands) {
    auto* command = std::get_if<ast::Command>(&member.value);
    if (command == nullptr) return fail("Unsupported pipeline AST node");
    commands.push_back(
        {std::move(command->name), std::move(command->args), std::move(command->redirects)});
  }
  Request form = carried_fields(request, "run.pipeline");
  form.stream = request.stream;
  form.terminal = request.terminal;
  form.operators.emplace(commands.empty() ? 0 : commands.size() - 1, "|");
  form.commands = std::move(commands);
  return form;
}

}  // namespace zelta
