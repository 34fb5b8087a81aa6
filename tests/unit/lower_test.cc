// Lowering of "run.ast" requests into launch forms: kinds, defaults, refusals.
#include "tree/lower.h"

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
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

TEST(LowerRunAst, CommandBecomesATerminalCommandWithItsSettings) {
  Request request = run_request(
      R"({"Command":{"name":"ls","args":["-c","*","$HOME"],"single_quoted_args":[true],)"
      R"("redirects":[{"fd":2,"kind":"Output","file":"/dev/null"},[null,"Input","in"]]}})");
  request.run_id = "r1";
  request.cwd = "/var";
  request.env = EnvMap{{"A", "1"}};
  request.timeout_ms = 0;
  request.rows = 30;
  request.cols = 100;
  request.raw_output = true;
  // A command runs on a terminal whatever the pipeline keys say.
  request.stream = true;
  request.terminal = false;

  auto form = lower_run_ast(request);
  ASSERT_TRUE(form.ok()) << form.error();
  EXPECT_EQ(form->kind, LaunchKind::kTerminalCommand);
  EXPECT_TRUE(form->on_terminal());
  const std::vector<Redirect> redirects = {{2, RedirectKind::kOutput, "/dev/null"},
                                           {std::nullopt, RedirectKind::kInput, "in"}};
  EXPECT_EQ(form->commands, (std::vector<LaunchCommand>{{"ls", {"-c", "*", "$HOME"}, redirects}}));
  EXPECT_EQ(form->run_id, "r1");
  EXPECT_EQ(form->cwd, "/var");
  EXPECT_EQ(form->env, (EnvMap{{"A", "1"}}));
  EXPECT_EQ(form->timeout_ms, 0u);
  EXPECT_EQ(form->rows, 30);
  EXPECT_EQ(form->cols, 100);
  EXPECT_TRUE(form->raw_output);
  EXPECT_TRUE(form->inherit_environment);
  EXPECT_EQ(form->terminal_fd, -1);
}

TEST(LowerRunAst, AbsentSettingsTakeTheirDefaults) {
  // The same defaults for every kind, and for a form built by hand.
  for (const std::string& tree : {command("true"), pipeline(command("a") + "," + command("b"))}) {
    auto form = lower_run_ast(run_request(tree));
    ASSERT_TRUE(form.ok()) << form.error();
    EXPECT_EQ(form->run_id, "run-0");
    EXPECT_EQ(form->cwd, "/tmp");
    EXPECT_EQ(form->env, EnvMap{});
    EXPECT_TRUE(form->inherit_environment);
    EXPECT_FALSE(form->raw_output);
    EXPECT_FALSE(form->timeout_ms);
    EXPECT_EQ(form->rows, 24);
    EXPECT_EQ(form->cols, 80);
    EXPECT_EQ(form->terminal_fd, -1);
    const LaunchForm by_hand;
    EXPECT_EQ(form->run_id, by_hand.run_id);
    EXPECT_EQ(form->cwd, by_hand.cwd);
    EXPECT_EQ(form->rows, by_hand.rows);
    EXPECT_EQ(form->cols, by_hand.cols);
  }
  // Given values are kept as they are, even empty or zero ones.
  Request request = run_request(command("true"));
  request.run_id = "";
  request.cwd = "";
  request.rows = 0;
  request.cols = 0;
  request.env = EnvMap{};
  auto form = lower_run_ast(request);
  ASSERT_TRUE(form.ok()) << form.error();
  EXPECT_EQ(form->run_id, "");
  EXPECT_EQ(form->cwd, "");
  EXPECT_EQ(form->rows, 0);
  EXPECT_EQ(form->cols, 0);
  EXPECT_EQ(form->commands, (std::vector<LaunchCommand>{{"true", {}, {}}}));
}

TEST(LowerRunAst, PipelineMembersKeepTheirRedirections) {
  Request request = run_request(
      pipeline(R"({"Command":{"name":"printf","args":["a b","c"],"single_quoted_args":[],)"
               R"("redirects":[{"kind":"Output","file":"/dev/null"}]}},)" +
               command("sort") + "," + command("wc")));
  request.run_id = "p";
  request.rows = 10;
  request.terminal = true;

  auto form = lower_run_ast(request);
  ASSERT_TRUE(form.ok()) << form.error();
  EXPECT_EQ(form->kind, LaunchKind::kJob);
  const Redirect to_null{std::nullopt, RedirectKind::kOutput, "/dev/null"};
  EXPECT_EQ(form->commands,
            (std::vector<LaunchCommand>{
                {"printf", {"a b", "c"}, {to_null}}, {"sort", {}, {}}, {"wc", {}, {}}}));
  EXPECT_EQ(form->run_id, "p");
  EXPECT_EQ(form->rows, 10);
  EXPECT_EQ(form->cols, 80);
}

// Every combination of the keys that choose how a run starts.
TEST(LowerRunAst, KindOfEveryShape) {
  constexpr auto kCommand = LaunchKind::kTerminalCommand;
  constexpr auto kFrontEnd = LaunchKind::kFrontEndTerminalCommand;
  constexpr auto kJob = LaunchKind::kJob;
  constexpr auto kCollected = LaunchKind::kCollectedPipeline;
  constexpr auto kStreamed = LaunchKind::kStreamedPipeline;
  const std::string two = pipeline(command("a") + "," + command("b"));
  const std::string one = pipeline(command("a"));
  const std::string none = pipeline("");
  const std::string single = command("a");
  struct Case {
    const std::string& tree;
    std::optional<bool> terminal, stream;
    std::optional<int> terminal_fd;
    std::optional<LaunchKind> kind;  // nullopt: "terminal_fd needs a single command"
    std::size_t commands;
  };
  const Case cases[] = {
      {single, {}, {}, {}, kCommand, 1},
      {single, true, true, {}, kCommand, 1},
      {single, {}, {}, 7, kFrontEnd, 1},
      {single, {}, {}, -1, kFrontEnd, 1},  // judged by its launch: "Invalid terminal_fd"
      {two, {}, {}, {}, kCollected, 2},
      {two, false, false, {}, kCollected, 2},
      {two, {}, true, {}, kStreamed, 2},
      {two, true, {}, {}, kJob, 2},
      {two, true, true, {}, kJob, 2},  // a terminal wins over streaming
      {two, true, {}, 7, {}, 0},
      {two, {}, {}, 7, {}, 0},
      // One member on a terminal is that member run as a single command.
      {one, true, {}, {}, kCommand, 1},
      {one, true, true, 7, kFrontEnd, 1},
      {one, {}, {}, {}, kCollected, 1},
      {one, {}, true, {}, kStreamed, 1},
      {one, {}, {}, 7, {}, 0},
      // An empty pipeline lowers; its launch refuses it.
      {none, {}, {}, {}, kCollected, 0},
      {none, true, {}, {}, kJob, 0},
      {none, true, {}, 7, {}, 0},
  };
  for (const Case& c : cases) {
    Request request = run_request(c.tree);
    request.terminal = c.terminal;
    request.stream = c.stream;
    request.terminal_fd = c.terminal_fd;
    const std::string name = c.tree + " terminal=" + std::to_string(c.terminal.value_or(0)) +
                             " stream=" + std::to_string(c.stream.value_or(0)) +
                             " fd=" + std::to_string(c.terminal_fd.value_or(-9));
    auto form = lower_run_ast(request);
    if (!c.kind) {
      ASSERT_FALSE(form.ok()) << name;
      EXPECT_EQ(form.error(), "terminal_fd needs a single command") << name;
      continue;
    }
    ASSERT_TRUE(form.ok()) << name << ": " << form.error();
    EXPECT_EQ(form->kind, *c.kind) << name;
    EXPECT_EQ(form->commands.size(), c.commands) << name;
    EXPECT_EQ(form->terminal_fd, *c.kind == kFrontEnd ? *c.terminal_fd : -1) << name;
  }
}

TEST(LowerRunAst, SingleMemberOnATerminalKeepsItsWordsAndRedirections) {
  Request request = run_request(pipeline(
      R"({"Command":{"name":"cat","args":["-n"],"single_quoted_args":[],)"
      R"("redirects":[{"kind":"HereString","file":"x"},{"fd":2,"kind":"OutputDup","file":"1"}]}})"));
  request.terminal = true;
  auto form = lower_run_ast(request);
  ASSERT_TRUE(form.ok()) << form.error();
  EXPECT_EQ(form->kind, LaunchKind::kTerminalCommand);
  EXPECT_EQ(form->commands,
            (std::vector<LaunchCommand>{{"cat",
                                         {"-n"},
                                         {{std::nullopt, RedirectKind::kHereString, "x"},
                                          {2, RedirectKind::kOutputDup, "1"}}}}));
}

// A malformed or unsupported tree is refused as such before terminal_fd is judged.
TEST(LowerRunAst, TreeErrorsComeBeforeTheTerminalFdRule) {
  Request request =
      run_request(pipeline(command("a") + R"(,{"Subshell":{"list":)" + command("b") + "}}"));
  request.terminal_fd = 7;
  EXPECT_EQ(lower_run_ast(request).error(), "Unsupported pipeline AST node");
  request = run_request(R"({"Command":{"name":"a"}})");
  request.terminal_fd = 7;
  EXPECT_EQ(lower_run_ast(request).error(), "Invalid ast: missing field `args`");
}

}  // namespace
}  // namespace zelta
