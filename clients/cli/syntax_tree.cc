// Building the syntax tree of one command or one pipeline.
#include "clients/cli/syntax_tree.h"

namespace zelta::client {
namespace {

const char* kind_name(RedirectOp op) {
  switch (op) {
    case RedirectOp::kInput:
      return "Input";
    case RedirectOp::kOutput:
      return "Output";
    case RedirectOp::kAppend:
      return "Append";
  }
  return "Output";
}

Json command_node(const SimpleCommand& command) {
  Json args = Json::array();
  Json single_quoted = Json::array();
  for (std::size_t i = 1; i < command.words.size(); ++i) {
    args.push_back(command.words[i].text);
    single_quoted.push_back(command.words[i].single_quoted);
  }
  Json redirects = Json::array();
  for (const Redirection& r : command.redirections) {
    Json redirect = Json::object();
    if (r.fd) redirect["fd"] = *r.fd;
    redirect["kind"] = kind_name(r.op);
    redirect["file"] = r.target;
    redirects.push_back(std::move(redirect));
  }
  Json fields = Json::object();
  fields["name"] = command.words.front().text;
  fields["args"] = std::move(args);
  fields["single_quoted_args"] = std::move(single_quoted);
  fields["redirects"] = std::move(redirects);
  return Json{{"Command", std::move(fields)}};
}

}  // namespace

Result<Json> build_tree(const CommandLine& line, bool on_terminal) {
  if (line.empty()) return fail("empty command line");
  for (const SimpleCommand& command : line) {
    if (command.words.empty()) return fail("missing command");
  }
  if (line.size() == 1) return command_node(line.front());
  Json members = Json::array();
  for (const SimpleCommand& command : line) {
    if (!on_terminal && !command.redirections.empty()) {
      return fail("redirections are supported only on a single command, not in a pipeline");
    }
    members.push_back(command_node(command));
  }
  return Json{{"Pipeline", Json{{"commands", std::move(members)}}}};
}

}  // namespace zelta::client
