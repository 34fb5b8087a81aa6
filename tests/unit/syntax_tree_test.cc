// Syntax trees built by the client from typed lines, compared as exact JSON text.
#include "clients/cli/syntax_tree.h"

#include <gtest/gtest.h>

#include <string>

#include "clients/cli/requests.h"
#include "clients/cli/word_splitter.h"

namespace zelta::client {
namespace {

std::string tree_text(const std::string& line, bool on_terminal = false) {
  auto split = split_command_line(line);
  if (!split) return "split error: " + split.error().message;
  auto tree = build_tree(*split, on_terminal);
  if (!tree) return "tree error: " + tree.error();
  return encode_line(*tree);
}

TEST(SyntaxTree, CommandsPipelinesAndRefusals) {
  struct Case {
    std::string line;
    std::string tree;
  };
  const Case cases[] = {
      {"ls", R"({"Command":{"name":"ls","args":[],"single_quoted_args":[],"redirects":[]}})"},
      {"echo 'a b' \"$x\"",
       R"({"Command":{"name":"echo","args":["a b","$x"],"single_quoted_args":[true,false],)"
       R"("redirects":[]}})"},
      {"sort < in 2>> log > out",
       R"({"Command":{"name":"sort","args":[],"single_quoted_args":[],"redirects":[)"
       R"({"kind":"Input","file":"in"},{"fd":2,"kind":"Append","file":"log"},)"
       R"({"kind":"Output","file":"out"}]}})"},
      {"printf hi | tr a-z A-Z",
       R"({"Pipeline":{"commands":[)"
       R"({"Command":{"name":"printf","args":["hi"],"single_quoted_args":[false],"redirects":[]}},)"
       R"({"Command":{"name":"tr","args":["a-z","A-Z"],"single_quoted_args":[false,false],)"
       R"("redirects":[]}}]}})"},
      {"ls > out | wc",
       "tree error: redirections are supported only on a single command, not in a pipeline"},
      {"# nothing", "tree error: empty command line"},
  };
  for (const auto& c : cases) EXPECT_EQ(tree_text(c.line), c.tree) << c.line;
  // A pipeline run on a terminal applies its members' redirections.
  EXPECT_EQ(tree_text("ls 2> err | wc > out", true),
            R"({"Pipeline":{"commands":[)"
            R"({"Command":{"name":"ls","args":[],"single_quoted_args":[],)"
            R"("redirects":[{"fd":2,"kind":"Output","file":"err"}]}},)"
            R"({"Command":{"name":"wc","args":[],"single_quoted_args":[],)"
            R"("redirects":[{"kind":"Output","file":"out"}]}}]}})");
}

}  // namespace
}  // namespace zelta::client
