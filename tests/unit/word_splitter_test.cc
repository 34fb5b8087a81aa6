// Word splitting of typed command lines: quoting, pipelines, redirections, refusals.
#include "clients/cli/word_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelta::client {
namespace {

// Words of each member, with a trailing '!' marking a wholly single-quoted word.
std::vector<std::vector<std::string>> shape(const CommandLine& line) {
  std::vector<std::vector<std::string>> members;
  for (const auto& command : line) {
    std::vector<std::string> words;
    for (const auto& word : command.words)
      words.push_back(word.text + (word.single_quoted ? "!" : ""));
    members.push_back(words);
  }
  return members;
}

TEST(WordSplitter, QuotingAndPipelines) {
  struct Case {
    std::string line;
    std::vector<std::vector<std::string>> members;
  };
  const Case cases[] = {
      {"ls -l", {{"ls", "-l"}}},
      {" \tls   -l \t", {{"ls", "-l"}}},
      {"echo 'a b' c", {{"echo", "a b!", "c"}}},
      {"echo 'a'b 'a''b' ''", {{"echo", "ab", "ab!", "!"}}},
      {"echo \"\"", {{"echo", ""}}},
      {R"(echo "a \"b\" \\ \$x \`c\`")", {{"echo", R"(a "b" \ $x `c`)"}}},
      {R"(echo "a\zb" "it's")", {{"echo", R"(a\zb)", "it's"}}},
      {R"(echo 'a\"b')", {{"echo", R"(a\"b!)"}}},
      {R"(echo a\ b \'x \\)", {{"echo", "a b", "'x", "\\"}}},
      {"echo \"one\\\ntwo\" three\\\nfour", {{"echo", "onetwo", "threefour"}}},
      {"echo 'new\nline'", {{"echo", "new\nline!"}}},
      {"echo $HOME *.txt ~ `id` {a,b} !", {{"echo", "$HOME", "*.txt", "~", "`id`", "{a,b}", "!"}}},
      {"echo a#b # the rest is a comment", {{"echo", "a#b"}}},
      {"printf hi | tr a-z A-Z", {{"printf", "hi"}, {"tr", "a-z", "A-Z"}}},
      {"a|b|c", {{"a"}, {"b"}, {"c"}}},
      {"a '|' \"|\" \\|", {{"a", "|!", "|", "|"}}},
      {"ls |\n wc -l", {{"ls"}, {"wc", "-l"}}},
      {"écho ünïcode", {{"écho", "ünïcode"}}},
      {"", {}},
      {"   ", {}},
      {"  # only a comment", {}},
  };
  for (const auto& c : cases) {
    auto result = split_command_line(c.line);
    ASSERT_TRUE(result.ok()) << c.line << ": " << result.error().message;
    EXPECT_EQ(shape(*result), c.members) << c.line;
  }
}

TEST(WordSplitter, Redirections) {
  using Op = RedirectOp;
  struct Case {
    std::string line;
    std::vector<std::string> words;
    std::vector<Redirection> redirections;
  };
  const Case cases[] = {
      {"cat < in > out", {"cat"}, {{{}, Op::kInput, "in"}, {{}, Op::kOutput, "out"}}},
      {"cat <in >>out", {"cat"}, {{{}, Op::kInput, "in"}, {{}, Op::kAppend, "out"}}},
      {"cmd 2> err 2>>log", {"cmd"}, {{2, Op::kOutput, "err"}, {2, Op::kAppend, "log"}}},
      {"cmd 0<in 12>x", {"cmd"}, {{0, Op::kInput, "in"}, {12, Op::kOutput, "x"}}},
      {">out cmd arg", {"cmd", "arg"}, {{{}, Op::kOutput, "out"}}},
      {"cmd > 'a b'", {"cmd"}, {{{}, Op::kOutput, "a b"}}},
      // Only unquoted digits written directly before the operator name a descriptor.
      {"cmd a2>x", {"cmd", "a2"}, {{{}, Op::kOutput, "x"}}},
      {"cmd \"2\">x", {"cmd", "2"}, {{{}, Op::kOutput, "x"}}},
      {"cmd 2 >x", {"cmd", "2"}, {{{}, Op::kOutput, "x"}}},
      {"cmd '>' \\> \">\"", {"cmd", ">", ">", ">"}, {}},
  };
  for (const auto& c : cases) {
    auto result = split_command_line(c.line);
    ASSERT_TRUE(result.ok()) << c.line << ": " << result.error().message;
    ASSERT_EQ(result->size(), 1u) << c.line;
    std::vector<std::string> words;
    for (const auto& word : result->front().words) words.push_back(word.text);
    EXPECT_EQ(words, c.words) << c.line;
    EXPECT_EQ(result->front().redirections, c.redirections) << c.line;
  }
}

TEST(WordSplitter, RefusalsSayWhetherALaterLineCouldComplete) {
  struct Case {
    std::string line;
    std::string message;
    bool incomplete;
  };
  const Case cases[] = {
      {"echo 'abc", "unterminated single quote", true},
      {"echo \"abc", "unterminated double quote", true},
      {"echo \"abc\\\"", "unterminated double quote", true},
      {"echo abc\\", "line ends with a backslash", true},
      {"ls |", "line ends with '|'", true},
      {"ls | ", "line ends with '|'", true},
      {"ls; rm x",
       "';' is not supported: the executor runs one command or one pipeline (quote it to pass it "
       "literally)",
       false},
      {"sleep 1 &",
       "'&' is not supported: the executor runs one command or one pipeline (quote it "
       "to pass it literally)",
       false},
      {"(ls)",
       "'(' is not supported: the executor runs one command or one pipeline (quote it to "
       "pass it literally)",
       false},
      {"ls\nwc", "a line feed between commands is not supported", false},
      {"ls || true", "'||' is not supported", false},
      {"| wc", "missing command before '|'", false},
      {"ls | | wc", "missing command before '|'", false},
      {"> out | wc", "missing command before '|'", false},
      {"> out", "missing command", false},
      {"cat <", "missing file name after '<'", false},
      {"cat >> | wc", "missing file name after '>>'", false},
      {"cat > > x", "missing file name after '>'", false},
      {"cat >>> x", "missing file name after '>>'", false},
      {"cat << EOF", "'<<' is not supported: the redirections are <, > and >>", false},
      {"cat 2>&1", "'>&' is not supported: the redirections are <, > and >>", false},
      {"cat <&0", "'<&' is not supported: the redirections are <, > and >>", false},
      {"cat >| x", "'>|' is not supported: the redirections are <, > and >>", false},
      {"cat <> x", "'<>' is not supported: the redirections are <, > and >>", false},
      {"ls &> x", "'&>' is not supported", false},
      {"cat 99999999999>x", "descriptor number 99999999999 is too large", false},
  };
  for (const auto& c : cases) {
    auto result = split_command_line(c.line);
    ASSERT_FALSE(result.ok()) << c.line;
    EXPECT_EQ(result.error().message, c.message) << c.line;
    EXPECT_EQ(result.error().incomplete, c.incomplete) << c.line;
  }
}

TEST(WordSplitter, ContinuationLinesJoinedWithALineFeedComplete) {
  // The interactive mode joins a continuation line with "\n" and splits again.
  auto quoted = split_command_line("echo 'one\ntwo'");
  ASSERT_TRUE(quoted.ok());
  EXPECT_EQ(quoted->front().words[1].text, "one\ntwo");
  auto piped = split_command_line("printf x |\ncat");
  ASSERT_TRUE(piped.ok());
  EXPECT_EQ(piped->size(), 2u);
  auto escaped = split_command_line("echo a\\\nb");
  ASSERT_TRUE(escaped.ok());
  EXPECT_EQ(escaped->front().words[1].text, "ab");
}

TEST(WordSplitter, JobLinesTakeOneTrailingAmpersand) {
  struct Case {
    std::string line;
    std::vector<std::vector<std::string>> members;
    bool background;
    std::size_t at;
  };
  const Case cases[] = {
      {"sleep 1 &", {{"sleep", "1"}}, true, 8},
      {"sleep 1&", {{"sleep", "1"}}, true, 7},
      {"a | b > out & \t# a comment", {{"a"}, {"b"}}, true, 12},
      {"a |\nb &", {{"a"}, {"b"}}, true, 6},
      {"echo '&' \\& \"&\"", {{"echo", "&!", "&", "&"}}, false, 0},
      {"echo a#&", {{"echo", "a#"}}, true, 7},
      {"ls", {{"ls"}}, false, 0},
  };
  for (const auto& c : cases) {
    auto result = split_job_line(c.line);
    ASSERT_TRUE(result.ok()) << c.line << ": " << result.error().message;
    EXPECT_EQ(shape(result->commands), c.members) << c.line;
    EXPECT_EQ(result->background, c.background) << c.line;
    EXPECT_EQ(result->background_at, c.at) << c.line;
  }
  const std::pair<std::string, std::string> refused[] = {
      {"sleep 1 & ls",
       "'&' is supported only at the end of a line: the executor runs one command or one "
       "pipeline (quote it to pass it literally)"},
      {"a&b",
       "'&' is supported only at the end of a line: the executor runs one command or one "
       "pipeline (quote it to pass it literally)"},
      {"a && b", "'&&' is not supported"},
      {"&", "missing command before '&'"},
      {"a | &", "missing command before '&'"},
      {"cat > &", "missing file name after '>'"},
      {"cat 2>&1 &", "'>&' is not supported: the redirections are <, > and >>"},
      {"ls &> x", "'&>' is not supported"},
      {"ls; ls &",
       "';' is not supported: the executor runs one command or one pipeline (quote "
       "it to pass it literally)"},
  };
  for (const auto& [line, message] : refused) {
    auto result = split_job_line(line);
    ASSERT_FALSE(result.ok()) << line;
    EXPECT_EQ(result.error().message, message) << line;
  }
  // A continuation is still asked for when the line stops inside something.
  auto open = split_job_line("echo 'a &");
  ASSERT_FALSE(open.ok());
  EXPECT_TRUE(open.error().incomplete);
}

}  // namespace
}  // namespace zelta::client
