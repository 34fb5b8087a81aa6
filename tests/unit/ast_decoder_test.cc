// Decoding of syntax trees: every fault message, byte for byte.
#include "tree/ast_decoder.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace zelta {
namespace {

using nlohmann::json;

// A Command with the given redirects list (JSON text).
std::string command_with_redirects(const std::string& redirects) {
  return R"({"Command":{"name":"ls","args":[],"single_quoted_args":[],"redirects":)" + redirects +
         "}}";
}

// A Command whose single redirection has the given "fd" value (JSON text):
// the place where numbers and strings are described in messages.
std::string with_fd(const std::string& fd) {
  return command_with_redirects(R"([{"fd":)" + fd + R"(,"kind":"Output","file":"/f"}])");
}

std::string with_kind(const std::string& kind) {
  return command_with_redirects(R"([{"kind":)" + kind + R"(,"file":"/f"}])");
}

std::string with_expansion(const std::string& type) {
  return R"({"ParameterExpansion":{"parameter":"x","expansion_type":)" + type + "}}";
}

std::string with_operator(const std::string& op) {
  return R"({"ExtGlobPattern":{"operator":)" + op + R"(,"patterns":[],"suffix":""}})";
}

std::string with_case_patterns(const std::string& patterns) {
  return R"({"CaseStatement":{"expression":{"StringLiteral":"x"},"patterns":)" + patterns + "}}";
}

const std::string kAllKinds =
    "one of `Command`, `Pipeline`, `List`, `Assignment`, `CommandSubstitution`, "
    "`ArithmeticExpansion`, `ArithmeticCommand`, `Subshell`, `Comment`, `StringLiteral`, "
    "`SingleQuotedString`, `ExtGlobPattern`, `IfStatement`, `ElifBranch`, `ElseBranch`, "
    "`CaseStatement`, `Array`, `Function`, `FunctionCall`, `Export`, `Return`, `ExtendedTest`, "
    "`HistoryExpansion`, `Complete`, `ForLoop`, `WhileLoop`, `UntilLoop`, `Negation`, "
    "`SelectStatement`, `Group`, `ParameterExpansion`, `ProcessSubstitution`";

struct Case {
  std::string tree;      // JSON text of the "ast" value
  std::string expected;  // the fault message, or "" when the tree decodes
};

std::string decode_outcome(const std::string& tree_text) {
  auto tree = decode_ast(json::parse(tree_text));
  return tree ? "" : tree.error();
}

TEST(AstDecoder, MessagesOfUnionsAndRecords) {
  const Case cases[] = {
      // Well-formed trees; unknown keys inside a payload are ignored.
      {command_with_redirects("[]"), ""},
      {R"({"Command":{"name":"ls","args":[],"single_quoted_args":[],"redirects":[],"cwd":1}})", ""},
      {R"({"Comment":"# note"})", ""},
      {R"({"Pipeline":{"commands":[]}})", ""},
      // Missing fields are reported after the present ones, in declaration order.
      {R"({"Command":{"name":"ls","args":[],"redirects":[]}})",
       "missing field `single_quoted_args`"},
      {R"({"Command":{}})", "missing field `name`"},
      {R"({"Command":{"redirects":[],"single_quoted_args":[]}})", "missing field `name`"},
      {R"({"Command":{"name":"ls","single_quoted_args":[]}})", "missing field `args`"},
      // With several faults the present key sorting first wins, even over a
      // missing field.
      {R"({"Command":{"name":5,"args":7,"single_quoted_args":[],"redirects":[]}})",
       "invalid type: integer `7`, expected a sequence"},
      {R"({"Command":{"name":5}})", "invalid type: integer `5`, expected a string"},
      {R"({"ForLoop":{"variable":1,"body":2,"iterable":3}})",
       "invalid type: integer `2`, expected string or map"},
      // Union values.
      {R"("Command")", "invalid type: unit variant, expected struct variant"},
      {R"("StringLiteral")", "invalid type: unit variant, expected newtype variant"},
      {R"({"StringLiteral":null})", "invalid type: null, expected a string"},
      {R"({"SingleQuotedString":["x"]})", "invalid type: sequence, expected a string"},
      {R"({"Command":null})", "invalid type: null, expected struct variant"},
      {R"({"Command":[]})", "invalid type: sequence, expected struct variant"},
      {R"({"Command":"ls"})", "invalid type: string \"ls\", expected struct variant"},
      {R"({})", "invalid value: map, expected map with a single key"},
      {R"({"Command":{},"Pipeline":{}})", "invalid value: map, expected map with a single key"},
      {R"([1])", "invalid type: sequence, expected string or map"},
      {R"(null)", "invalid type: null, expected string or map"},
      {R"(false)", "invalid type: boolean `false`, expected string or map"},
      {R"(-12)", "invalid type: integer `-12`, expected string or map"},
      {R"({"command":{}})", "unknown variant `command`, expected " + kAllKinds},
      {R"("Bogus")", "unknown variant `Bogus`, expected " + kAllKinds},
      // The name is looked up before the payload is examined.
      {R"({"Nope":5})", "unknown variant `Nope`, expected " + kAllKinds},
      // Optional and required children.
      {R"({"IfStatement":{"condition":{"Comment":"a"},"consequence":{"Comment":"b"},)"
       R"("alternative":null}})",
       ""},
      {R"({"IfStatement":{"condition":{"Comment":"a"},"consequence":{"Comment":"b"}}})", ""},
      {R"({"IfStatement":{"condition":{"Comment":"a"},"consequence":{"Comment":"b"},)"
       R"("alternative":7}})",
       "invalid type: integer `7`, expected string or map"},
      {R"({"Return":{}})", ""},
      {R"({"Export":{"name":"A"}})", ""},
      {R"({"Export":{"value":{"Comment":"x"}}})", "missing field `name`"},
      {R"({"Negation":{"command":null}})", "invalid type: null, expected string or map"},
      {R"({"Command":{"name":"ls","args":null,"single_quoted_args":[],"redirects":[]}})",
       "invalid type: null, expected a sequence"},
      {R"({"Command":{"name":"ls","args":[1],"single_quoted_args":[],"redirects":[]}})",
       "invalid type: integer `1`, expected a string"},
      {R"({"Command":{"name":"ls","args":[],"single_quoted_args":[true,"x"],"redirects":[]}})",
       "invalid type: string \"x\", expected a boolean"},
      // A fault deep inside a list of nodes fails the whole tree.
      {R"({"Pipeline":{"commands":[)" + command_with_redirects("[]") +
           R"(,{"Command":{"name":"wc","args":[],"single_quoted_args":[]}}]}})",
       "missing field `redirects`"},
      {R"({"List":{"statements":[{"Comment":"a"},5],"operators":[]}})",
       "invalid type: integer `5`, expected string or map"},
      // Every struct kind reads its own fields.
      {R"({"Assignment":{"name":"a","value":{"StringLiteral":"1"}}})", ""},
      {R"({"CommandSubstitution":{"command":{"Comment":"c"}}})", ""},
      {R"({"ArithmeticExpansion":{"expression":"1+1"}})", ""},
      {R"({"ArithmeticCommand":{"expression":1}})", "invalid type: integer `1`, expected a string"},
      {R"({"Subshell":{"list":{"Group":{"list":{"Comment":"x"}}}}})", ""},
      {R"({"ElifBranch":{"condition":{"Comment":"a"}}})", "missing field `consequence`"},
      {R"({"ElseBranch":{"consequence":{"Comment":"a"}}})", ""},
      {R"({"Array":{"elements":["a","b"]}})", ""},
      {R"({"Function":{"name":"f","body":{"Comment":"a"}}})", ""},
      {R"({"FunctionCall":{"name":"f","args":[],"single_quoted_args":[]}})",
       "missing field `redirects`"},
      {R"({"ExtendedTest":{"condition":{"Comment":"a"}}})", ""},
      {R"({"HistoryExpansion":{"pattern":"!!"}})", ""},
      {R"({"Complete":{"options":["-F"],"command":"git"}})", ""},
      {R"({"WhileLoop":{"condition":{"Comment":"a"},"body":{"Comment":"b"}}})", ""},
      {R"({"UntilLoop":{"condition":{"Comment":"a"}}})", "missing field `body`"},
      {R"({"SelectStatement":{"variable":"v","items":{"Comment":"a"},"body":{"Comment":"b"}}})",
       ""},
      {R"({"ProcessSubstitution":{"command":{"Comment":"a"},"direction":"Output"}})", ""},
      {R"({"ProcessSubstitution":{"command":{"Comment":"a"},"direction":{"Input":null}}})", ""},
      {R"({"ProcessSubstitution":{"command":{"Comment":"a"},"direction":"Pipe"}})",
       "unknown variant `Pipe`, expected `Input` or `Output`"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_outcome(c.tree), c.expected) << "tree: " << c.tree;
  }
}

TEST(AstDecoder, MessagesOfRedirectsCasePatternsAndExpansions) {
  const std::string kRedirectKinds =
      "one of `Input`, `Output`, `Append`, `HereDoc`, `HereDocDash`, `HereString`, `InputDup`, "
      "`OutputDup`";
  const std::string kExpansionKinds =
      "one of `Simple`, `Default`, `Assign`, `Error`, `Alternative`, `Length`, "
      "`RemoveSmallestPrefix`, `RemoveLargestPrefix`, `RemoveSmallestSuffix`, "
      "`RemoveLargestSuffix`, `Substring`, `Indirect`, `ArrayAll`, `ArrayStar`, `ArrayLength`, "
      "`ArrayIndex`";
  const Case cases[] = {
      // Redirect: object and array forms.
      {command_with_redirects(R"([{"kind":"Output","file":"/dev/null"}])"), ""},
      {command_with_redirects(R"([[null,"Output","/dev/null"],[2,"HereDocDash","x"]])"), ""},
      {command_with_redirects(R"([[null,"Output"]])"),
       "invalid length 2, expected struct Redirect with 3 elements"},
      {command_with_redirects(R"([[]])"),
       "invalid length 0, expected struct Redirect with 3 elements"},
      {command_with_redirects(R"([[1,"Output","/f",4]])"),
       "invalid length 4, expected fewer elements in array"},
      // Elements are decoded before the length is judged.
      {command_with_redirects(R"([["x"]])"), "invalid type: string \"x\", expected i32"},
      {command_with_redirects(R"([[1,"Output",5,6]])"),
       "invalid type: integer `5`, expected a string"},
      {command_with_redirects(R"(["x"])"), "invalid type: string \"x\", expected struct Redirect"},
      {command_with_redirects(R"([null])"), "invalid type: null, expected struct Redirect"},
      {command_with_redirects(R"({})"), "invalid type: map, expected a sequence"},
      {command_with_redirects(R"([{}])"), "missing field `kind`"},
      {command_with_redirects(R"([{"kind":"Input"}])"), "missing field `file`"},
      {command_with_redirects(R"([{"kind":"Bad","file":5}])"),
       "invalid type: integer `5`, expected a string"},
      {command_with_redirects(R"([{"kind":"Input","fd":"1","file":5}])"),
       "invalid type: string \"1\", expected i32"},
      {command_with_redirects(R"([{"kind":"Input","file":"/f","other":[1]}])"), ""},
      // RedirectKind.
      {with_kind(R"({"Input":null})"), ""},
      {with_kind(R"({"Input":1})"), "invalid type: integer `1`, expected unit"},
      {with_kind(R"({"Input":{}})"), "invalid type: map, expected unit"},
      {with_kind(R"("Pipe")"), "unknown variant `Pipe`, expected " + kRedirectKinds},
      {with_kind(R"("output")"), "unknown variant `output`, expected " + kRedirectKinds},
      {with_kind(R"({})"), "invalid value: map, expected map with a single key"},
      {with_kind("3"), "invalid type: integer `3`, expected string or map"},
      // Descriptor numbers.
      {with_fd("-1"), ""},
      {with_fd("null"), ""},
      {with_fd("2147483647"), ""},
      {with_fd("-2147483648"), ""},
      {with_fd("2147483648"), "invalid value: integer `2147483648`, expected i32"},
      {with_fd("-2147483649"), "invalid value: integer `-2147483649`, expected i32"},
      {with_fd("18446744073709551615"),
       "invalid value: integer `18446744073709551615`, expected i32"},
      {with_fd("-9223372036854775808"),
       "invalid value: integer `-9223372036854775808`, expected i32"},
      {with_fd("true"), "invalid type: boolean `true`, expected i32"},
      {with_fd("[]"), "invalid type: sequence, expected i32"},
      {with_fd("{}"), "invalid type: map, expected i32"},
      // CasePattern: object and array forms.
      {with_case_patterns(R"([[["a"],{"Comment":"b"}],{"patterns":[],"body":"Comment"}])"),
       "invalid type: unit variant, expected newtype variant"},
      {with_case_patterns(R"([[["a"],{"Comment":"b"}],{"body":{"Comment":"c"},"patterns":[]}])"),
       ""},
      {with_case_patterns(R"([[["a"]]])"),
       "invalid length 1, expected struct CasePattern with 2 elements"},
      {with_case_patterns(R"([[["a"],{"Comment":"b"},1]])"),
       "invalid length 3, expected fewer elements in array"},
      {with_case_patterns(R"([{"patterns":["a"]}])"), "missing field `body`"},
      {with_case_patterns(R"([5])"), "invalid type: integer `5`, expected struct CasePattern"},
      // One-character strings count Unicode scalar values.
      {with_operator(R"("@")"), ""},
      {with_operator("\"\xc3\xa9\""), ""},
      {with_operator("\"\xf0\x9f\x98\x80\""), ""},
      {with_operator(R"("ab")"), "invalid value: string \"ab\", expected a character"},
      {with_operator(R"("")"), "invalid value: string \"\", expected a character"},
      {with_operator("\"e\xcc\x81\""), "invalid value: string \"e\xcc\x81\", expected a character"},
      {with_operator("5"), "invalid type: integer `5`, expected a character"},
      // ParameterExpansionType.
      {with_expansion(R"("Simple")"), ""},
      {with_expansion(R"({"ArrayLength":null})"), ""},
      {with_expansion(R"({"Length":"x"})"), "invalid type: string \"x\", expected unit"},
      {with_expansion(R"({"Default":"word"})"), ""},
      {with_expansion(R"("Default")"), "invalid type: unit variant, expected newtype variant"},
      {with_expansion(R"({"ArrayIndex":1})"), "invalid type: integer `1`, expected a string"},
      {with_expansion(R"({"Substring":[null,null]})"), ""},
      {with_expansion(R"({"Substring":[2,-1]})"), ""},
      {with_expansion(R"({"Substring":[1]})"),
       "invalid length 1, expected tuple variant ParameterExpansionType::Substring with 2 "
       "elements"},
      {with_expansion(R"({"Substring":[1,2,3]})"),
       "invalid length 3, expected fewer elements in array"},
      {with_expansion(R"({"Substring":[]})"),
       "invalid type: null, expected tuple variant ParameterExpansionType::Substring"},
      {with_expansion(R"({"Substring":["a"]})"), "invalid type: string \"a\", expected i32"},
      {with_expansion(R"({"Substring":[1,4294967296]})"),
       "invalid value: integer `4294967296`, expected i32"},
      {with_expansion(R"("Substring")"), "invalid type: unit variant, expected tuple variant"},
      {with_expansion(R"({"Substring":5})"), "invalid type: integer `5`, expected tuple variant"},
      {with_expansion(R"({"Substring":null})"), "invalid type: null, expected tuple variant"},
      {with_expansion(R"("Bogus")"), "unknown variant `Bogus`, expected " + kExpansionKinds},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_outcome(c.tree), c.expected) << "tree: " << c.tree;
  }
}

TEST(AstDecoder, DescribesNumbersAndStrings) {
  struct Described {
    std::string fd;  // JSON text placed as a redirect's "fd"
    std::string description;
  };
  const Described cases[] = {
      // Floating point: shortest digits, plain between 1e-5 and 1e16.
      {"1.5", "floating point `1.5`"},
      {"1.0", "floating point `1.0`"},
      {"1e3", "floating point `1000.0`"},
      {"120.0", "floating point `120.0`"},
      {"-2.5", "floating point `-2.5`"},
      {"0.1", "floating point `0.1`"},
      {"0.00001", "floating point `0.00001`"},
      {"0.0000099", "floating point `9.9e-6`"},
      {"1.5e-7", "floating point `1.5e-7`"},
      {"0.0", "floating point `0.0`"},
      {"-0.0", "floating point `-0.0`"},
      {"123456789012345.6", "floating point `123456789012345.6`"},
      {"9999999999999998.0", "floating point `9999999999999998.0`"},
      {"1e16", "floating point `1e16`"},
      {"1e20", "floating point `1e20`"},
      {"1.25e300", "floating point `1.25e300`"},
      {"5e-324", "floating point `5e-324`"},
      {"1.7976931348623157e308", "floating point `1.7976931348623157e308`"},
      // Integers beyond 64 bits are floating point.
      {"18446744073709551616", "floating point `1.8446744073709552e19`"},
      {"-9223372036854775809", "floating point `-9.223372036854776e18`"},
      // Strings: backslash escapes, \u{..} for the non-printable, the rest raw.
      {R"("a\"b\\c")", R"(string "a\"b\\c")"},
      {R"("\t\r\n")", R"(string "\t\r\n")"},
      {R"("\u0000")", R"(string "\0")"},
      {R"("\b\f\u0001\u001b\u007f")", R"(string "\u{8}\u{c}\u{1}\u{1b}\u{7f}")"},
      {R"("\u0085\u00a0\u00ad")", R"(string "\u{85}\u{a0}\u{ad}")"},
      {R"("\u200b\u2028\u2029\u3000\ufeff")",
       R"(string "\u{200b}\u{2028}\u{2029}\u{3000}\u{feff}")"},
      {R"("\ue000\u0378\udb40\udc01")", R"(string "\u{e000}\u{378}\u{e0001}")"},
      {"\"' /\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\"",
       "string \"' /\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\""},
      {R"("")", R"(string "")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_outcome(with_fd(c.fd)), "invalid type: " + c.description + ", expected i32")
        << "fd: " << c.fd;
  }
}

TEST(AstDecoder, IllFormedUtf8InMemoryIsDescribedAsReplacementCharacters) {
  // A request line is always valid UTF-8, but a value built in memory need
  // not be; the message must still be valid text.
  json tree = json::parse(with_operator(R"("x")"));
  tree["ExtGlobPattern"]["operator"] = std::string("\xff");
  EXPECT_TRUE(decode_ast(tree).ok());
  tree["ExtGlobPattern"]["operator"] = std::string("a\xff");
  auto result = decode_ast(tree);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "invalid value: string \"a\xef\xbf\xbd\", expected a character");
}

// A chain of `links` Negation nodes (two levels each) around `tail`.
json negation_chain(int links, json tail) {
  json node = std::move(tail);
  for (int i = 0; i < links; ++i) {
    json payload = json::object();
    payload["command"] = std::move(node);
    json wrapper = json::object();
    wrapper["Negation"] = std::move(payload);
    node = std::move(wrapper);
  }
  return node;
}

TEST(AstDecoder, NestingUpToTheLineLimitDecodesAndDeeperFailsCleanly) {
  // Four levels: Pipeline object, payload, commands array, member object.
  const json four_levels = json::parse(R"({"Pipeline":{"commands":[{"Comment":"x"}]}})");
  // Five levels: Command, payload, redirects array, redirect, kind object.
  const json five_levels = json::parse(with_kind(R"({"Input":null})"));
  static_assert(kMaxTreeNesting % 2 == 0);
  const int links = (kMaxTreeNesting - 4) / 2;

  EXPECT_TRUE(decode_ast(negation_chain(links, four_levels)).ok());
  auto too_deep = decode_ast(negation_chain(links, five_levels));
  ASSERT_FALSE(too_deep.ok());
  EXPECT_EQ(too_deep.error(), kTreeTooDeepMessage);
  EXPECT_FALSE(decode_ast(negation_chain(links + 1, four_levels)).ok());

  // Far beyond any stack: still exactly one message.
  auto very_deep = decode_ast(negation_chain(200000, four_levels));
  ASSERT_FALSE(very_deep.ok());
  EXPECT_EQ(very_deep.error(), kTreeTooDeepMessage);
}

TEST(AstDecoder, KeepsEveryFieldOfACommand) {
  auto tree = decode_ast(json::parse(
      R"({"Command":{"name":"ls","args":["-c","*"],"single_quoted_args":[true,false],)"
      R"("redirects":[[2,{"OutputDup":null},"1"],{"kind":"HereString","file":"text"}]}})"));
  ASSERT_TRUE(tree.ok()) << tree.error();
  const auto& command = std::get<ast::Command>(tree->value);
  EXPECT_EQ(command.name, "ls");
  EXPECT_EQ(command.args, (std::vector<std::string>{"-c", "*"}));
  EXPECT_EQ(command.single_quoted_args, (std::vector<bool>{true, false}));
  EXPECT_EQ(command.redirects,
            (std::vector<Redirect>{{2, RedirectKind::kOutputDup, "1"},
                                   {std::nullopt, RedirectKind::kHereString, "text"}}));
}

TEST(AstDecoder, KeepsPayloadsOfNestedKinds) {
  auto tree = decode_ast(json::parse(
      R"({"List":{"operators":["&&"],"statements":[)"
      R"({"ParameterExpansion":{"parameter":"p","expansion_type":{"Substring":[3,null]}}},)"
      R"({"ExtGlobPattern":{"operator":"\u00e9","patterns":["a"],"suffix":"s"}},)"
      R"({"IfStatement":{"condition":{"Comment":"c"},"consequence":"Comment"}}]}})"));
  // The third statement is faulty: nothing of the tree survives.
  EXPECT_FALSE(tree.ok());

  tree = decode_ast(json::parse(
      R"({"List":{"operators":["&&"],"statements":[)"
      R"({"ParameterExpansion":{"parameter":"p","expansion_type":{"Substring":[3,null]}}},)"
      R"({"ExtGlobPattern":{"operator":"\u00e9","patterns":["a"],"suffix":"s"}}]}})"));
  ASSERT_TRUE(tree.ok()) << tree.error();
  const auto& list = std::get<ast::List>(tree->value);
  ASSERT_EQ(list.statements.size(), 2u);
  const auto& expansion = std::get<ast::ParameterExpansion>(list.statements[0].value);
  EXPECT_EQ(expansion.expansion_type.kind, ParameterExpansionType::Kind::kSubstring);
  EXPECT_EQ(expansion.expansion_type.offset, 3);
  EXPECT_EQ(expansion.expansion_type.length, std::nullopt);
  EXPECT_EQ(std::get<ast::ExtGlobPattern>(list.statements[1].value).op, U'\u00e9');
  EXPECT_EQ(list.statements[1].kind(), AstKind::kExtGlobPattern);
}

}  // namespace
}  // namespace zelta
