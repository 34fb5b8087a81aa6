// Lowering of "run.ast" requests into the execute and pipeline forms.
#include "tree/lower.h"

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace zelta {
namespace {

using nlohmann::json;

Request run_request(const std::string& tree_text) {
  Request request;
  request.type = "run.ast";
  request.ast = std::make_shared<const json>(json::parse(tree_text));
  return request;
}

std::string command(const std::string& name, const std::string& extra = "") {
  return R"({"Command":{"name":")" + name +
         R"(","args":[],"single_quoted_args":[],"redirects":[])" + extra + "}}";
}

std::string pipeline(const std::string& members) {
  return R"({"Pipeline":{"commands":[)" + members + "]}}";
}

TEST(LowerRunAst, ErrorTexts) {
  struct Case {
    std::string tree;
    std::string expected;
  };
  const std::string subshell = R"({"Subshell":{"list":)" + command("a") + "}}";
  const std::string function_call =
      R"({"FunctionCall":{"name":"f","args":[],"single_quoted_args":[],"redirects":[]}})";
  const Case cases[] = {
      {"null", "Missing ast"},
      {R"({"Command":{"args":[],"single_quoted_args":[],"redirects":[]}})",
       "Invalid ast: missing field `name`"},
      {R"("Command")", "Invalid ast: invalid type: unit variant, expected struct variant"},
      {R"({"List":{"statements":[)" + command("a") + "," + command("b") +
           R"(],"operators":[";"]}})",
       "Unsupported AST root for run.ast"},
      {R"({"List":{"statements":[)" + command("a") +
           R"(,{"Command":{"name":"b","single_quoted_args":[],"redirects":[]}}],"operators":[]}})",
       "Invalid ast: missing field `args`"},
      {function_call, "Unsupported AST root for run.ast"},
      {subshell, "Unsupported AST root for run.ast"},
      {R"({"StringLiteral":"ls"})", "Unsupported AST root for run.ast"},
      {pipeline(command("a") + "," + subshell), "Unsupported pipeline AST node"},
      {pipeline(command("a") + "," + pipeline(command("b"))), "Unsupported pipeline AST node"},
      {pipeline(command("a") + "," + function_call), "Unsupported pipeline AST node"},
      // The whole tree decodes before members are judged.
      {pipeline(subshell + R"(,{"Command":{"name":"b"}})"), "Invalid ast: missing field `args`"},
      // A malformed node deep inside an unsupported root is still a decoding fault.
      {R"({"Negation":{"command":)" + pipeline(R"({"Command":5})") + "}}",
       "Invalid ast: invalid type: integer `5`, expected struct variant"},
  };
  for (const auto& c : cases) {
    auto form = lower_run_ast(run_request(c.tree));
    ASSERT_FALSE(form.ok()) << "tree: " << c.tree;
    EXPECT_EQ(form.error(), c.expected) << "tree: " << c.tree;
  }

  Request without_ast;
  without_ast.type = "run.ast";
  auto form = lower_run_ast(without_ast);
  ASSERT_FALSE(form.ok());
  EXPECT_EQ(form.error(), "Missing ast");
}

TEST(LowerRunAst, CommandBecomesExecuteFormWithCarriedFields) {
  Request request = run_request(
      R"({"Command":{"name":"ls","args":["-c","*","$HOME"],"single_quoted_args":[true],)"
      R"("redirects":[{"fd":2,"kind":"Output","file":"/dev/null"},[null,"Input","in"]]}})");
  request.run_id = "r1";
  request.cwd = "/var";
  request.env = EnvMap{{"A", "1"}};
  request.timeout_ms = 0;
  request.rows = 24;
  request.cols = 80;
  // Fields a run request does not carry into its launch.
  request.path = "/p";
  request.signal = "SIGINT";
  request.data = "d";
  request.direction = "in";
  request.patterns = std::vector<std::string>{"*"};

  auto form = lower_run_ast(request);
  ASSERT_TRUE(form.ok()) << form.error();
  EXPECT_EQ(form->type, "execute");
  EXPECT_EQ(form->command, "ls");
  EXPECT_EQ(form->args, (std::vector<std::string>{"-c", "*", "$HOME"}));
  EXPECT_EQ(form->redirects, (std::vector<Redirect>{{2, RedirectKind::kOutput, "/dev/null"},
                                                    {std::nullopt, RedirectKind::kInput, "in"}}));
  EXPECT_EQ(form->run_id, "r1");
  EXPECT_EQ(form->cwd, "/var");
  EXPECT_EQ(form->env, (EnvMap{{"A", "1"}}));
  EXPECT_EQ(form->timeout_ms, 0u);
  EXPECT_EQ(form->rows, 24);
  EXPECT_EQ(form->cols, 80);
  EXPECT_FALSE(form->ast);
  EXPECT_FALSE(form->commands);
  EXPECT_FALSE(form->operators);
  EXPECT_FALSE(form->path);
  EXPECT_FALSE(form->signal);
  EXPECT_FALSE(form->data);
  EXPECT_FALSE(form->direction);
  EXPECT_FALSE(form->patterns);
}

TEST(LowerRunAst, AbsentFieldsStayAbsent) {
  auto form = lower_run_ast(run_request(command("true")));
  ASSERT_TRUE(form.ok()) << form.error();
  EXPECT_EQ(form->args, std::vector<std::string>{});
  EXPECT_EQ(form->redirects, std::vector<Redirect>{});
  EXPECT_FALSE(form->run_id);
  EXPECT_FALSE(form->cwd);
  EXPECT_FALSE(form->env);
  EXPECT_FALSE(form->timeout_ms);
  EXPECT_FALSE(form->rows);
  EXPECT_FALSE(form->cols);
}

TEST(LowerRunAst, PipelineBecomesPipelineForm) {
  Request request = run_request(
      pipeline(R"({"Command":{"name":"printf","args":["a b","c"],"single_quoted_args":[],)"
               R"("redirects":[{"kind":"Output","file":"/dev/null"}]}},)" +
               command("sort") + "," + command("wc")));
  request.run_id = "p";
  request.rows = 10;
  request.terminal = true;

  auto form = lower_run_ast(request);
  ASSERT_TRUE(form.ok()) << form.error();
  EXPECT_EQ(form->type, "run.pipeline");
  const Redirect to_null{std::nullopt, RedirectKind::kOutput, "/dev/null"};
  EXPECT_EQ(form->commands,
            (std::vector<PipelineCommand>{
                {"printf", {"a b", "c"}, {to_null}}, {"sort", {}, {}}, {"wc", {}, {}}}));
  // The pipeline keys travel with the form; absent ones stay absent.
  EXPECT_EQ(form->terminal, true);
  EXPECT_FALSE(form->stream);
  EXPECT_EQ(form->operators, (std::vector<std::string>{"|", "|"}));
  EXPECT_EQ(form->run_id, "p");
  EXPECT_EQ(form->rows, 10);
  EXPECT_FALSE(form->cols);
  // Member redirections stay with their member; no single-command field is set.
  EXPECT_FALSE(form->redirects);
  EXPECT_FALSE(form->command);
  EXPECT_FALSE(form->args);
  EXPECT_FALSE(form->ast);
}

TEST(LowerRunAst, ShortPipelinesHaveNoOperators) {
  auto one = lower_run_ast(run_request(pipeline(command("ls"))));
  ASSERT_TRUE(one.ok()) << one.error();
  EXPECT_EQ(one->type, "run.pipeline");
  EXPECT_EQ(one->commands, (std::vector<PipelineCommand>{{"ls", {}, {}}}));
  EXPECT_EQ(one->operators, std::vector<std::string>{});

  auto none = lower_run_ast(run_request(pipeline("")));
  ASSERT_TRUE(none.ok()) << none.error();
  EXPECT_EQ(none->commands, std::vector<PipelineCommand>{});
  EXPECT_EQ(none->operators, std::vector<std::string>{});
}

}  // namespace
}  // namespace zelta
