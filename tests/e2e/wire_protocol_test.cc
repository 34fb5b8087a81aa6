// Request lines and the exact reply bytes they produce through the binary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "executor_process.h"

namespace zelta::testing {
namespace {

constexpr const char* kParseError = R"({"exit_code":1,"error":"Parse error"})";

struct Exchange {
  std::string line;                   // sent with a line feed
  std::vector<std::string> expected;  // every output line it produces, in order
};

// Sends each line in turn to one executor and checks its output lines; after
// the table, the process must still be serving.
void expect_exchanges(const std::vector<Exchange>& table) {
  ExecutorProcess executor;
  for (const auto& exchange : table) {
    executor.send_line(exchange.line);
    for (const auto& expected : exchange.expected) {
      EXPECT_EQ(executor.next_line(), expected) << "after sending: " << exchange.line;
    }
  }
  executor.close_stdin();
  EXPECT_TRUE(executor.stdout_closed());
  EXPECT_EQ(executor.wait_exit(), 0);
}

TEST(WireProtocol, UndecodableLinesGetParseErrorAndTheLoopGoesOn) {
  expect_exchanges({
      {"", {kParseError}},
      {" \t\r", {kParseError}},
      {"null", {kParseError}},
      {"[\"glob\"]", {kParseError}},
      {R"({"type":"glob","patterns":["*"],"rows":"24"})", {kParseError}},
      {R"({"type":"read_file","type":"glob"})", {kParseError}},
      {R"({"Type":"glob"})", {kParseError}},
      {R"({"type":"glob"} x)", {kParseError}},
      {R"({"type":"t","rows":65536})", {kParseError}},
      {R"({"type":"t","timeout_ms":-1})", {kParseError}},
      {R"({"type":"t","timeout_ms":1.5})", {kParseError}},
      {R"({"type":"t","timeout_ms":1e3})", {kParseError}},
      {R"({"type":"t","redirects":[["Output","f"]]})", {kParseError}},
      {R"({"type":"t","commands":[{"args":[]}]})", {kParseError}},
      {R"({"type":"after"})", {R"({"exit_code":1,"error":"Unknown: after"})"}},
  });
}

TEST(WireProtocol, UnknownTypesAreEchoedExactlyAndEscaped) {
  expect_exchanges({
      {R"({"type":"glob","extra":{"a":[1,2]}})", {R"({"exit_code":1,"error":"Missing patterns"})"}},
      {R"({"type":"process_subst2"})", {R"({"exit_code":1,"error":"Unknown: process_subst2"})"}},
      {R"({"type":"Run.Ast","run_id":"r"})", {R"({"exit_code":1,"error":"Unknown: Run.Ast"})"}},
      {R"({"type":""})", {R"({"exit_code":1,"error":"Unknown: "})"}},
      // 0x00 takes the six-character escape; U+00E9 comes out as raw UTF-8.
      {"{\"type\":\"a\\u0000\xc3\xa9\\u00e9\"}",
       {"{\"exit_code\":1,\"error\":\"Unknown: a\\u0000\xc3\xa9\xc3\xa9\"}"}},
      {R"({"type":"q\"b\\s\/\t\u001b\u007f"})",
       {"{\"exit_code\":1,\"error\":\"Unknown: q\\\"b\\\\s/\\t\\u001b\x7f\"}"}},
  });
}

TEST(WireProtocol, RunRequestsAreAcknowledgedBeforeTheirReply) {
  expect_exchanges({
      {R"({"type":"run.ast","run_id":"a"})",
       {R"({"msg_type":"run.ast","run_id":"a","type":"recv"})",
        R"({"exit_code":1,"error":"Missing ast"})"}},
      {R"({"type":"run\u002east","run_id":"a","ast":null})",
       {R"({"msg_type":"run.ast","run_id":"a","type":"recv"})",
        R"({"exit_code":1,"error":"Missing ast"})"}},
      {R"({"type":"run.ast"})", {R"({"exit_code":1,"error":"Missing ast"})"}},
      {R"({"type":"run.ast","run_id":null})", {R"({"exit_code":1,"error":"Missing ast"})"}},
      {R"({"type":"execute","run_id":"x"})",
       {R"({"msg_type":"execute","run_id":"x","type":"recv"})",
        R"({"exit_code":1,"error":"Unknown: execute"})"}},
      {R"({"run_id":"p\n","type":"run.pipeline"})",
       {R"({"msg_type":"run.pipeline","run_id":"p\n","type":"recv"})",
        R"({"exit_code":1,"error":"Unknown: run.pipeline"})"}},
      {R"({"type":"execute"})", {R"({"exit_code":1,"error":"Unknown: execute"})"}},
  });
}

TEST(WireProtocol, ControlRequestsAtTopLevelAreUnknown) {
  expect_exchanges({
      {R"({"type":"stdin.write","run_id":"a","data":"x"})",
       {R"({"exit_code":1,"error":"Unknown: stdin.write"})"}},
      {R"({"type":"run.signal","run_id":"a","signal":"SIGINT"})",
       {R"({"exit_code":1,"error":"Unknown: run.signal"})"}},
      {R"({"type":"stream.flush","run_id":"a","timeout_ms":10})",
       {R"({"exit_code":1,"error":"Unknown: stream.flush"})"}},
  });
}

TEST(WireProtocol, DeepNestingIsParseErrorNotACrash) {
  const std::string deep(100000, '[');
  expect_exchanges({
      {R"({"type":"t","extra":)" + deep, {kParseError}},
      {R"({"type":"run.ast","run_id":"d","ast":)" + deep + std::string(100000, ']') + "}",
       {kParseError}},
      {deep, {kParseError}},
      {R"({"type":"still here"})", {R"({"exit_code":1,"error":"Unknown: still here"})"}},
  });
}

}  // namespace
}  // namespace zelta::testing
