// Decoding of request lines: accepted shapes, refused shapes, limits.
#include "protocol/request_decoder.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace zelta {
namespace {

using namespace std::string_literals;

std::string nested(int depth, std::string_view inner = "") {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

TEST(RequestDecoder, RefusesLinesThatAreNotOneRequestObject) {
  const std::string cases[] = {
      "",
      " \t\r",
      "null",
      "\"glob\"",
      "42",
      "true",
      "[]",
      R"(["glob"])",
      "{}",
      R"({"Type":"glob"})",
      R"({"type":null})",
      R"({"type":1})",
      R"({"type":"glob"} x)",
      R"({"type":"glob"}{})",
      R"({"type":"glob"},)",
      R"({"type":"glob")",
      R"({"type":"glob",})",
      R"({'type':'glob'})",
      R"({"type":"\x"})",
      R"({"type":"\ud800"})",
      R"({"type":"a","extra":[1,}})",
      R"({"type":"a","extra":01})",
      R"({"type":"a","extra":NaN})",
      "\xef\xbb\xbf{\"type\":\"a\"}",  // a byte order mark is not whitespace
      // A raw NUL byte is not JSON whitespace, wherever it stands.
      "{\"type\":\"a\"}\0"s,
      "{\"type\":\"a\"}\0 trailing"s,
      "{\"type\":\"a\0\"}"s,
      // Duplicate known keys, whatever their values.
      R"({"type":"read_file","type":"glob"})",
      R"({"type":"a","run_id":null,"run_id":"b"})",
      R"({"type":"a","ast":{},"ast":{}})",
  };
  for (const auto& line : cases) {
    EXPECT_FALSE(decode_request(line).ok()) << line;
  }
}

TEST(RequestDecoder, RefusesKnownKeysOfTheWrongTypeOrRange) {
  const std::string members[] = {
      R"("rows":"24")",
      R"("rows":65536)",
      R"("rows":-1)",
      R"("rows":1.0)",
      R"("rows":1e2)",
      R"("cols":true)",
      R"("timeout_ms":-1)",
      R"("timeout_ms":1.5)",
      R"("timeout_ms":1e3)",
      R"("timeout_ms":18446744073709551616)",
      R"("run_id":7)",
      R"("cwd":["/"])",
      R"("data":{})",
      R"("direction":false)",
      R"("args":"a")",
      R"("args":["a",1])",
      R"("args":[null])",
      R"("patterns":{})",
      R"("operators":[["|"]])",
      R"("env":["A"])",
      R"("env":{"A":1})",
      R"("env":{"A":null})",
      R"("env":{"A":{"B":"c"}})",
  };
  for (const auto& member : members) {
    const std::string line = R"({"type":"glob","patterns":["*"],)" + member + "}";
    EXPECT_FALSE(decode_request(line).ok()) << line;
  }
}

TEST(RequestDecoder, RefusesMalformedRedirectsAndPipelineCommands) {
  const std::string members[] = {
      R"("redirects":{})",
      R"("redirects":[null])",
      R"("redirects":["Output"])",
      R"("redirects":[{"fd":1,"kind":"Output"}])",
      R"("redirects":[{"fd":1,"file":"f"}])",
      R"("redirects":[{"kind":null,"file":"f"}])",
      R"("redirects":[{"kind":"Output","file":null}])",
      R"("redirects":[{"kind":"output","file":"f"}])",
      R"("redirects":[{"kind":"Pipe","file":"f"}])",
      R"("redirects":[{"kind":{"Output":1},"file":"f"}])",
      R"("redirects":[{"kind":{"Output":{}},"file":"f"}])",
      R"("redirects":[{"kind":{"Output":null,"Input":null},"file":"f"}])",
      R"("redirects":[{"kind":{},"file":"f"}])",
      R"("redirects":[{"kind":["Output"],"file":"f"}])",
      R"("redirects":[{"fd":2147483648,"kind":"Output","file":"f"}])",
      R"("redirects":[{"fd":-2147483649,"kind":"Output","file":"f"}])",
      R"("redirects":[{"fd":1.0,"kind":"Output","file":"f"}])",
      R"("redirects":[{"fd":"1","kind":"Output","file":"f"}])",
      R"("redirects":[{"fd":1,"fd":2,"kind":"Output","file":"f"}])",
      R"("redirects":[{"kind":"Output","kind":"Input","file":"f"}])",
      R"("redirects":[{"kind":"Output","file":3}])",
      R"("redirects":[[1,"Output"]])",
      R"("redirects":[["Output","f"]])",
      R"("redirects":[[1,"Output","f","extra"]])",
      R"("redirects":[[]])",
      R"("commands":{"command":"ls"})",
      R"("commands":["ls"])",
      R"("commands":[{"args":["a"]}])",
      R"("commands":[{"command":null}])",
      R"("commands":[{"command":1}])",
      R"("commands":[{"command":"ls","command":"cat"}])",
      R"("commands":[{"command":"ls","args":[1]}])",
      R"("commands":[{"command":"ls","args":"a"}])",
      R"("commands":[[]])",
      R"("commands":[[null]])",
      R"("commands":[["ls",["a"],"x"]])",
  };
  for (const auto& member : members) {
    const std::string line = R"({"type":"run.ast",)" + member + "}";
    EXPECT_FALSE(decode_request(line).ok()) << line;
  }
}

TEST(RequestDecoder, DecodesEveryFieldOfTheRecord) {
  const auto decoded = decode_request(
      R"({"type":"run.ast","run_id":"r1","command":"ls","args":["-l","a b"],)"
      R"("redirects":[{"fd":2,"kind":"Output","file":"/dev/null"}],"cwd":"/tmp",)"
      R"("env":{"A":"1","B":""},"signal":"SIGINT","timeout_ms":18446744073709551615,)"
      R"("ast":{"Command":{}},"path":"/etc/hosts","patterns":["*.txt"],"rows":0,)"
      R"("cols":65535,"data":"x\n","direction":"in",)"
      R"("commands":[{"command":"cat","args":["f"]}],"operators":["|"]})");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  const Request& r = decoded.value();
  EXPECT_EQ(r.type, "run.ast");
  EXPECT_EQ(r.run_id, "r1");
  EXPECT_EQ(r.command, "ls");
  EXPECT_EQ(r.args, (std::vector<std::string>{"-l", "a b"}));
  EXPECT_EQ(r.redirects, (std::vector<Redirect>{{2, RedirectKind::kOutput, "/dev/null"}}));
  EXPECT_EQ(r.cwd, "/tmp");
  EXPECT_EQ(r.env, (EnvMap{{"A", "1"}, {"B", ""}}));
  EXPECT_EQ(r.signal, "SIGINT");
  EXPECT_EQ(r.timeout_ms, 18446744073709551615ull);
  ASSERT_TRUE(r.ast);
  EXPECT_EQ(r.ast->dump(), R"({"Command":{}})");
  EXPECT_EQ(r.path, "/etc/hosts");
  EXPECT_EQ(r.patterns, std::vector<std::string>{"*.txt"});
  EXPECT_EQ(r.rows, 0);
  EXPECT_EQ(r.cols, 65535);
  EXPECT_EQ(r.data, "x\n");
  EXPECT_EQ(r.direction, "in");
  EXPECT_EQ(r.commands, (std::vector<PipelineCommand>{{"cat", {"f"}}}));
  EXPECT_EQ(r.operators, std::vector<std::string>{"|"});
}

TEST(RequestDecoder, NullMeansAbsentAndUnknownKeysAreSkipped) {
  const auto decoded = decode_request(
      " \t{\"extra\":{\"a\":[1,2.5,-3e9,true,null,\"x\",{\"type\":1}]},"
      R"("type":"run\u002east","run_id":null,"rows":null,"timeout_ms":null,"env":null,)"
      R"("ast":null,"redirects":null,"commands":null,"args":null,"Type":[],"type ":1,)"
      "\"x\":99999999999999999999999} \r");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  const Request& r = decoded.value();
  EXPECT_EQ(r.type, "run.ast");
  EXPECT_FALSE(r.run_id || r.rows || r.timeout_ms || r.env || r.ast || r.redirects || r.commands ||
               r.args);
}

TEST(RequestDecoder, AcceptsIntegersAtTheEdgesOfTheirRanges) {
  const auto decoded =
      decode_request(R"({"type":"t","rows":65535,"cols":-0,"timeout_ms":0,)"
                     R"("redirects":[[-2147483648,"Input","a"],[2147483647,"Output","b"]]})");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded->rows, 65535);
  EXPECT_EQ(decoded->cols, 0);
  EXPECT_EQ(decoded->timeout_ms, 0u);
  EXPECT_EQ((*decoded->redirects)[0].fd, -2147483648);
  EXPECT_EQ((*decoded->redirects)[1].fd, 2147483647);
}

TEST(RequestDecoder, RedirectObjectAndArrayFormsAreTheSame) {
  const auto decoded =
      decode_request(R"({"type":"t","redirects":[)"
                     R"({"fd":2,"kind":"Output","file":"/dev/null"},)"
                     R"([2,"Output","/dev/null"],)"
                     R"([2,{"Output":null},"/dev/null"],)"
                     R"({"file":"/dev/null","extra":{"x":[{}]},"kind":{"Output":null},"fd":2},)"
                     R"({"kind":"HereDocDash","file":"text\n"},)"
                     R"({"fd":null,"kind":"Append","file":"log"},)"
                     R"([null,"OutputDup","1"]]})");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  const std::vector<Redirect> expected = {
      {2, RedirectKind::kOutput, "/dev/null"},
      {2, RedirectKind::kOutput, "/dev/null"},
      {2, RedirectKind::kOutput, "/dev/null"},
      {2, RedirectKind::kOutput, "/dev/null"},
      {std::nullopt, RedirectKind::kHereDocDash, "text\n"},
      {std::nullopt, RedirectKind::kAppend, "log"},
      {std::nullopt, RedirectKind::kOutputDup, "1"},
  };
  EXPECT_EQ(decoded->redirects, expected);
}

TEST(RequestDecoder, EveryRedirectKindNameDecodes) {
  const char* names[] = {"Input",       "Output",     "Append",   "HereDoc",
                         "HereDocDash", "HereString", "InputDup", "OutputDup"};
  for (int i = 0; i < 8; ++i) {
    const auto decoded =
        decode_request(std::string(R"({"type":"t","redirects":[[0,")") + names[i] + R"(","f"]]})");
    ASSERT_TRUE(decoded.ok()) << names[i];
    EXPECT_EQ((*decoded->redirects)[0].kind, static_cast<RedirectKind>(i));
    EXPECT_EQ(redirect_kind_name(static_cast<RedirectKind>(i)), names[i]);
  }
}

TEST(RequestDecoder, PipelineCommandObjectAndArrayForms) {
  const auto decoded = decode_request(
      R"({"type":"t","commands":[{"command":"ls"},{"args":["-l"],"command":"ls","x":[]},)"
      R"({"command":"ls","args":null},["cat"],["cat",["a","b"]],["cat",null]]})");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  const std::vector<PipelineCommand> expected = {
      {"ls", {}}, {"ls", {"-l"}}, {"ls", {}}, {"cat", {}}, {"cat", {"a", "b"}}, {"cat", {}},
  };
  EXPECT_EQ(decoded->commands, expected);
}

TEST(RequestDecoder, RepeatedEnvNameKeepsItsLastValue) {
  const auto decoded = decode_request(R"({"type":"t","env":{"A":"1","B":"2","A":"3"}})");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded->env, (EnvMap{{"A", "3"}, {"B", "2"}}));
}

TEST(RequestDecoder, AstIsKeptRawWithByteOrderedKeysAndLastValueWins) {
  const auto decoded =
      decode_request(R"({"ast":{"b":1,"a":[1.5,-2,null,true,{"z":"\u00e9","Z":{}}],"b":{"c":"x"},)"
                     R"("\u00e9":0,"B":18446744073709551615},"type":"run.ast"})");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  ASSERT_TRUE(decoded->ast);
  EXPECT_EQ(decoded->ast->dump(),
            "{\"B\":18446744073709551615,\"a\":[1.5,-2,null,true,{\"Z\":{},\"z\":\"\xc3\xa9\"}],"
            "\"b\":{\"c\":\"x\"},\"\xc3\xa9\":0}");
  // No shape check: any JSON value is kept, scalars included.
  for (const std::string value : {"\"Command\"", "7", "[]", "false", "-1.25"}) {
    const auto scalar = decode_request(R"({"type":"run.ast","ast":)" + value + "}");
    ASSERT_TRUE(scalar.ok()) << value;
    ASSERT_TRUE(scalar->ast) << value;
    EXPECT_EQ(scalar->ast->dump(), value);
  }
}

TEST(RequestDecoder, NestingLimitCountsEveryContainerOnTheLine) {
  // The request object itself is the first level.
  const int inner = kMaxNestingDepth - 1;
  for (const std::string key : {"extra", "ast", "args"}) {
    const std::string at_limit = R"({"type":"t",")" + key + "\":" + nested(inner) + "}";
    const std::string beyond = R"({"type":"t",")" + key + "\":" + nested(inner + 1) + "}";
    if (key != "args") {
      EXPECT_TRUE(decode_request(at_limit).ok()) << key;
    }
    EXPECT_FALSE(decode_request(beyond).ok()) << key;
  }
  const std::string deep_objects = R"({"type":"t","ast":)" + std::string(200, '{') + "}";
  EXPECT_FALSE(decode_request(deep_objects).ok());
}

TEST(RequestDecoder, HugeNestingFailsWithoutExhaustingTheStack) {
  const std::string brackets = nested(100000);
  EXPECT_FALSE(decode_request(brackets).ok());
  EXPECT_FALSE(decode_request(R"({"type":"t","x":)" + brackets + "}").ok());
  EXPECT_FALSE(decode_request(R"({"type":"t","ast":)" + brackets + "}").ok());
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_FALSE(decode_request(R"({"type":"t","ast":)" + objects).ok());
}

TEST(RequestDecoder, LongStringsSurviveIntact) {
  const std::string big(1 << 20, 'x');
  const auto decoded = decode_request(R"({"type":"stdin.write","data":")" + big +
                                      R"(\u0000","ast":{"k":")" + big + "\"}}");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded->data->size(), big.size() + 1);
  EXPECT_EQ(decoded->data->back(), '\0');
  EXPECT_EQ((*decoded->ast)["k"].get_ref<const std::string&>(), big);
}

}  // namespace
}  // namespace zelta
