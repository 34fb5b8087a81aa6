// "run.ast" requests on the wire: refused trees get one exact reply, words pass unchanged.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "executor_process.h"

namespace zelta::testing {
namespace {

constexpr const char* kMissingAst = R"({"exit_code":1,"error":"Missing ast"})";

std::string error_reply(const std::string& escaped_text) {
  return R"({"exit_code":1,"error":")" + escaped_text + "\"}";
}

std::string run_line(const std::string& tree, const std::string& run_id = "r1") {
  return R"({"type":"run.ast","run_id":")" + run_id + R"(","ast":)" + tree + "}";
}

std::string recv_line(const std::string& run_id = "r1") {
  return R"({"msg_type":"run.ast","run_id":")" + run_id + R"(","type":"recv"})";
}

std::string command(const std::string& name) {
  return R"({"Command":{"name":")" + name +
         R"(","args":[],"single_quoted_args":[],"redirects":[]}})";
}

class RunAstLowering : public ::testing::Test {
 protected:
  void SetUp() override {
    // A request without a tree, and without run_id: the reply alone.
    executor_.send_line(R"({"type":"run.ast"})");
    ASSERT_EQ(executor_.next_line(), kMissingAst);
  }

  ExecutorProcess executor_;
};

TEST_F(RunAstLowering, EachRefusedTreeGetsItsExactReplyAfterTheAcknowledgement) {
  struct Case {
    std::string tree;
    std::string reply;
  };
  const std::string kinds =
      "one of `Command`, `Pipeline`, `List`, `Assignment`, `CommandSubstitution`, "
      "`ArithmeticExpansion`, `ArithmeticCommand`, `Subshell`, `Comment`, `StringLiteral`, "
      "`SingleQuotedString`, `ExtGlobPattern`, `IfStatement`, `ElifBranch`, `ElseBranch`, "
      "`CaseStatement`, `Array`, `Function`, `FunctionCall`, `Export`, `Return`, `ExtendedTest`, "
      "`HistoryExpansion`, `Complete`, `ForLoop`, `WhileLoop`, `UntilLoop`, `Negation`, "
      "`SelectStatement`, `Group`, `ParameterExpansion`, `ProcessSubstitution`";
  const Case cases[] = {
      {"null", kMissingAst},
      {R"({"command":{}})",
       error_reply("Invalid ast: unknown variant `command`, expected " + kinds)},
      {R"({"Command":{"name":5,"args":7}})",
       error_reply("Invalid ast: invalid type: integer `7`, expected a sequence")},
      // A repeated key keeps its last value before the tree is decoded.
      {R"({"Command":{"name":"ls","args":[],"single_quoted_args":[],"redirects":[],"name":1}})",
       error_reply("Invalid ast: invalid type: integer `1`, expected a string")},
      // The message's own quotes and backslashes are escaped again in the reply.
      {R"({"Command":{"name":"ls","args":[],"single_quoted_args":[],)"
       R"("redirects":[{"fd":"a\"\t\u0001","kind":"Output","file":"f"}]}})",
       error_reply(R"(Invalid ast: invalid type: string \"a\\\"\\t\\u{1}\", expected i32)")},
      {R"({"Command":{"name":"ls","args":[],"single_quoted_args":[],)"
       R"("redirects":[{"fd":1e20,"kind":"Output","file":"f"}]}})",
       error_reply("Invalid ast: invalid type: floating point `1e20`, expected i32")},
      {R"({"List":{"statements":[)" + command("a") + R"(],"operators":[]}})",
       error_reply("Unsupported AST root for run.ast")},
      {R"({"FunctionCall":{"name":"f","args":[],"single_quoted_args":[],"redirects":[]}})",
       error_reply("Unsupported AST root for run.ast")},
      {R"({"Pipeline":{"commands":[)" + command("a") + R"(,{"Subshell":{"list":)" + command("b") +
           "}}]}}",
       error_reply("Unsupported pipeline AST node")},
      {R"({"Pipeline":{"commands":[]}})", error_reply("Missing pipeline commands")},
  };
  for (const auto& c : cases) {
    executor_.send_line(run_line(c.tree));
    EXPECT_EQ(executor_.next_line(), recv_line()) << c.tree;
    EXPECT_EQ(executor_.next_line(), c.reply) << c.tree;
  }
  EXPECT_TRUE(executor_.quiet_for(std::chrono::milliseconds(200)));
}

TEST_F(RunAstLowering, WithoutRunIdOnlyTheReplyIsWritten) {
  executor_.send_line(R"({"type":"run.ast","ast":null})");
  executor_.send_line(R"({"type":"run.ast","ast":"Command"})");
  EXPECT_EQ(executor_.next_line(), kMissingAst);
  EXPECT_EQ(executor_.next_line(),
            error_reply("Invalid ast: invalid type: unit variant, expected struct variant"));
}

// `links` nested Negation nodes, two JSON levels each, around `tail`.
std::string nested_tree(int links, const std::string& tail) {
  std::string tree = tail;
  for (int i = 0; i < links; ++i) tree = R"({"Negation":{"command":)" + tree + "}}";
  return tree;
}

TEST_F(RunAstLowering, TreesAtAndBeyondTheNestingLimitEachGetOneReply) {
  const std::string three_levels = R"({"Pipeline":{"commands":[]}})";
  const std::string four_levels = R"({"Pipeline":{"commands":[{"Comment":"x"}]}})";
  // With the request object, 62 links and three levels make 128 levels: the
  // deepest line accepted. One level more is a parse error.
  executor_.send_line(run_line(nested_tree(62, three_levels)));
  EXPECT_EQ(executor_.next_line(), recv_line());
  EXPECT_EQ(executor_.next_line(), error_reply("Unsupported AST root for run.ast"));

  executor_.send_line(run_line(nested_tree(62, four_levels)));
  EXPECT_EQ(executor_.next_line(), R"({"exit_code":1,"error":"Parse error"})");

  executor_.send_line(run_line(nested_tree(5000, four_levels)));
  EXPECT_EQ(executor_.next_line(), R"({"exit_code":1,"error":"Parse error"})");

  // A fault at the deepest accepted level is still found.
  executor_.send_line(run_line(nested_tree(62, R"({"Pipeline":{"commands":[7]}})")));
  EXPECT_EQ(executor_.next_line(), recv_line());
  EXPECT_EQ(executor_.next_line(),
            error_reply("Invalid ast: invalid type: integer `7`, expected string or map"));

  // And the executor goes on serving.
  executor_.send_line(R"({"type":"run.ast","run_id":"after"})");
  EXPECT_EQ(executor_.next_line(), recv_line("after"));
  EXPECT_EQ(executor_.next_line(), kMissingAst);
}

TEST_F(RunAstLowering, CommandWordsReachTheProgramUnchanged) {
  // No expansion, splitting or quote removal, and single_quoted_args of any
  // length changes nothing.
  executor_.send_line(
      run_line(R"({"Command":{"name":"printf","args":["[%s]","*","$HOME","a  b","~","'q'"],)"
               R"("single_quoted_args":[true],"redirects":[]}})"));
  std::string output;
  for (const auto& line : executor_.read_until(R"("type":"exit")")) {
    auto event = nlohmann::json::parse(line);
    if (event.value("type", "") == "stdout") output += event.at("stdout").get<std::string>();
    if (event.value("type", "") == "exit") {
      EXPECT_EQ(event.at("exit_code"), 0);
    }
  }
  EXPECT_EQ(output, "[*][$HOME][a  b][~]['q']");
}

}  // namespace
}  // namespace zelta::testing
