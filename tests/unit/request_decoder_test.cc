// Decoding of request lines: accepted shapes, refused shapes, limits.
#include "protocol/request_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
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

TEST(RequestDecoder, PipelineModeKeysAreBooleansAndNullLeavesThemAbsent) {
  const auto both = decode_request(R"({"type":"run.ast","terminal":false,"stream":true})");
  ASSERT_TRUE(both.ok()) << both.error();
  EXPECT_EQ(both->stream, true);
  EXPECT_EQ(both->terminal, false);
  const auto none = decode_request(R"({"type":"run.ast","stream":null,"Terminal":true})");
  ASSERT_TRUE(none.ok()) << none.error();
  EXPECT_FALSE(none->stream);
  EXPECT_FALSE(none->terminal);
  EXPECT_FALSE(decode_request(R"({"type":"t","stream":true,"stream":false})").ok());
  // Elsewhere a boolean is still refused where the record expects another type.
  EXPECT_FALSE(decode_request(R"({"type":"t","env":{"A":true}})").ok());
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
      R"("stream":1)",
      R"("stream":"true")",
      R"("terminal":[true])",
      R"("terminal":{})",
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
  EXPECT_EQ(r.commands, (std::vector<PipelineCommand>{{"cat", {"f"}, {}}}));
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
      {"ls", {}, {}},  {"ls", {"-l"}, {}},      {"ls", {}, {}},
      {"cat", {}, {}}, {"cat", {"a", "b"}, {}}, {"cat", {}, {}},
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

// Everything a decoded line carries, as one comparable text; any refusal is
// the same ("refused"), since every failure gets the same reply.
std::string describe(const Result<Request>& decoded) {
  if (!decoded.ok()) return "refused";
  const Request& r = decoded.value();
  nlohmann::json out;
  out["type"] = r.type;
  auto put = [&out](const char* name, const auto& field) {
    if (field) out[name] = *field;
  };
  put("run_id", r.run_id);
  put("command", r.command);
  put("args", r.args);
  put("cwd", r.cwd);
  put("env", r.env);
  put("signal", r.signal);
  put("timeout_ms", r.timeout_ms);
  put("path", r.path);
  put("patterns", r.patterns);
  put("rows", r.rows);
  put("cols", r.cols);
  put("data", r.data);
  put("direction", r.direction);
  put("operators", r.operators);
  if (r.redirects) {
    for (const Redirect& redirect : *r.redirects) {
      out["redirects"].push_back({redirect.fd ? nlohmann::json(*redirect.fd) : nlohmann::json(),
                                  redirect_kind_name(redirect.kind), redirect.file});
    }
  }
  if (r.commands) {
    for (const PipelineCommand& command : *r.commands) {
      out["commands"].push_back({command.command, command.args});
    }
  }
  // dump() tells 1 from 1.0 and keeps every byte of the strings.
  if (r.ast) out["ast"] = r.ast->dump();
  return out.dump();
}

void expect_same_as_reference(std::string_view line) {
  EXPECT_EQ(describe(decode_request(line)), describe(decode_request_reference(line)))
      << "line: " << line;
}

TEST(RequestDecoder, ReaderAgreesWithTheLibraryParserOnTrickyText) {
  const std::string values[] = {
      // Strings: every escape, surrogate pairs, and what must be refused.
      R"("\"\\\/\b\f\n\r\t")",
      R"("\u0041\u00e9\u20AC\ud83d\ude00")",
      R"("\u0000")",
      R"("\ud800")",
      R"("\udc00")",
      R"("\ud800\u0041")",
      R"("\ud800\")",
      R"("\ud83d\ude0")",
      R"("\u12G4")",
      R"("\x")",
      R"("\)",
      "\"\x01\"",
      "\"\x1f\"",
      "\"\x7f\"",
      "\"caf\xc3\xa9\"",
      "\"\xf0\x9f\x98\x80\"",
      "\"\xc0\x80\"",
      "\"\xed\xa0\x80\"",
      "\"\xf4\x90\x80\x80\"",
      "\"\xe2\x82\"",
      "\"\x80\"",
      "\"\xff\"",
      "\"\xc3\"",
      // Numbers at every boundary of their forms and ranges.
      "0",
      "-0",
      "01",
      "-01",
      "1.",
      ".5",
      "-",
      "+1",
      "1e5",
      "1E+5",
      "1e-5",
      "1e",
      "1e+",
      "0.0",
      "1.0",
      "-1.5e-3",
      "1e-400",
      "1e400",
      "-1e400",
      "18446744073709551615",
      "18446744073709551616",
      "-9223372036854775808",
      "-9223372036854775809",
      "123456789012345678901234567890",
      "65535",
      "65536",
      "2147483647",
      "2147483648",
      "-2147483648",
      "-2147483649",
      "4294967296",
      // Literals and structure.
      "true",
      "false",
      "null",
      "tru",
      "nul",
      "truex",
      "nullnull",
      "[]",
      "{}",
      "[1,]",
      "[,1]",
      "{\"a\"}",
      "{\"a\":}",
      "{\"a\" : 1 , \"a\" : 2}",
      "[ 1 , [ ] , { } ]",
      "[1 2]",
      "{\"\":0}",
      "{1:2}",
      "\t\r\n 1 \n",
  };
  const std::string fields[] = {"type", "run_id", "rows", "cols", "timeout_ms",
                                "args", "env",    "ast",  "data", "extra"};
  for (const auto& value : values) {
    for (const auto& field : fields) {
      if (field == "type") {
        expect_same_as_reference(R"({"type":)" + value + "}");
      } else {
        expect_same_as_reference(R"({"type":"t",")" + field + "\":" + value + "}");
        expect_same_as_reference(R"({"type":"t",")" + field + "\":[" + value + "]}");
      }
    }
    expect_same_as_reference(R"({"type":"t","env":{"A":)" + value + "}}");
    expect_same_as_reference(R"({"type":"t","redirects":[[)" + value + R"(,"Input","f"]]})");
  }
  // Escaped member names are names like any other.
  expect_same_as_reference(R"({"\u0074ype":"glob","p\u0061tterns":["\u002a"]})");
  expect_same_as_reference(R"({"type":"t","type\u0000":1})");
}

// Lines derived from real requests by cutting, repeating and replacing bytes:
// whatever the reference parser makes of them, the reader makes the same.
TEST(RequestDecoder, ReaderAgreesWithTheLibraryParserOnMutatedRequests) {
  const std::string seeds[] = {
      R"({"type":"run.ast","run_id":"r1","ast":{"Command":{"name":"ls","args":["-l"],"single_quoted_args":[false],"redirects":[{"fd":2,"kind":"Output","file":"/dev/null"}]}},"cwd":"/tmp","env":{"A":"1"}})",
      R"({"type":"stdin.write","run_id":"r","data":"a\u00e9\n\ud83d\ude00\"\\"})",
      R"({"type":"run.resize","run_id":"r","rows":24,"cols":80,"timeout_ms":1000})",
      R"({"type":"t","redirects":[[1,{"Output":null},"f"],{"kind":"Input","file":"g"}],"commands":[["ls",["-a"]],{"command":"cat"}],"x":[1.5e3,-7,true]})",
  };
  const char bytes[] = "{}[]\",:\\u0 -1.e+9tfnax\x80\xc3\xe9\x01";
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state](std::uint64_t bound) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::size_t>(state % bound);
  };
  for (int round = 0; round < 20000; ++round) {
    std::string line = seeds[next(std::size(seeds))];
    for (std::size_t edits = 1 + next(3); edits > 0; --edits) {
      const std::size_t at = next(line.size() + 1);
      switch (next(4)) {
        case 0:  // replace one byte
          if (at < line.size()) line[at] = bytes[next(sizeof bytes - 1)];
          break;
        case 1:  // insert one byte
          line.insert(at, 1, bytes[next(sizeof bytes - 1)]);
          break;
        case 2:  // cut a stretch
          line.erase(at, next(8));
          break;
        default:  // repeat a stretch
          line.insert(at, line.substr(at, next(12)));
      }
    }
    expect_same_as_reference(line);
  }
}

}  // namespace
}  // namespace zelta
