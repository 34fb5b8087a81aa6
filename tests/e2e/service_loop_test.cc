// The service loop as seen on the wire: framing, end of input, exit status.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "executor_process.h"

namespace zelta::testing {
namespace {

std::string unknown(std::string_view type) {
  return R"({"exit_code":1,"error":"Unknown: )" + std::string(type) + "\"}";
}

TEST(ServiceLoop, IdleEndOfInputExitsZeroWithoutOutput) {
  ExecutorProcess executor;
  executor.close_stdin();
  EXPECT_TRUE(executor.stdout_closed());
  EXPECT_EQ(executor.wait_exit(), 0);
}

TEST(ServiceLoop, LinesArrivingInOneWriteAreServedInOrder) {
  ExecutorProcess executor;
  executor.send("{\"type\":\"a\"}\n{\"type\":\"b\"}\n");
  EXPECT_EQ(executor.next_line(), unknown("a"));
  EXPECT_EQ(executor.next_line(), unknown("b"));

  std::string many;
  for (int i = 0; i < 1000; ++i) many += R"({"type":")" + std::to_string(i) + "\"}\n";
  executor.send(many);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(executor.next_line(), unknown(std::to_string(i)));
}

TEST(ServiceLoop, SplitLineIsAnsweredOnlyAfterItsLineFeed) {
  ExecutorProcess executor;
  executor.send(R"({"type":"sp)");
  EXPECT_TRUE(executor.quiet_for(300ms));
  executor.send(R"(lit"})");
  EXPECT_TRUE(executor.quiet_for(300ms));
  executor.send("\n{\"type\":\"next\"}");
  EXPECT_EQ(executor.next_line(), unknown("split"));
  EXPECT_TRUE(executor.quiet_for(300ms));
  executor.send("\n");
  EXPECT_EQ(executor.next_line(), unknown("next"));
}

TEST(ServiceLoop, LongLineSpanningManyReadsIsServed) {
  ExecutorProcess executor;
  const std::string data(3 << 20, 'x');
  executor.send_line(R"({"type":"stdin.write","data":")" + data + R"("})");
  EXPECT_EQ(executor.next_line(), unknown("stdin.write"));
}

TEST(ServiceLoop, CarriageReturnBeforeLineFeedIsWhitespace) {
  ExecutorProcess executor;
  executor.send("{\"type\":\"crlf\"}\r\n{\"type\":\"two\"}  \r\n\r\n");
  EXPECT_EQ(executor.next_line(), unknown("crlf"));
  EXPECT_EQ(executor.next_line(), unknown("two"));
  EXPECT_EQ(executor.next_line(), R"({"exit_code":1,"error":"Parse error"})");
}

TEST(ServiceLoop, FinalUnterminatedLineIsServedAtEndOfInput) {
  ExecutorProcess executor;
  executor.send("{\"type\":\"first\"}\n{\"type\":\"last\"}");
  EXPECT_EQ(executor.next_line(), unknown("first"));
  EXPECT_TRUE(executor.quiet_for(300ms));
  executor.close_stdin();
  EXPECT_EQ(executor.next_line(), unknown("last"));
  EXPECT_TRUE(executor.stdout_closed());
  EXPECT_EQ(executor.wait_exit(), 0);
}

TEST(ServiceLoop, InvalidUtf8EndsTheLoopWithoutReply) {
  const std::string lines[] = {
      "{\"type\":\"\xff\"}\n",         "\xff\n",
      "{\"type\":\"a\"} \xc3\n",        // truncated sequence outside the JSON value
      "{\"type\":\"\xed\xa0\x80\"}\n",  // encoded surrogate
      "{\"type\":\"\xc0\xaf\"}\n",      // overlong form
      "{\"type\":\"final\xff\"}",       // unterminated last line
  };
  for (const auto& bad : lines) {
    ExecutorProcess executor;
    // A valid line before it is served; nothing after it is.
    executor.send("{\"type\":\"before\"}\n" + bad + "{\"type\":\"after\"}\n");
    if (bad.back() != '\n') executor.close_stdin();
    EXPECT_EQ(executor.next_line(), unknown("before"));
    EXPECT_TRUE(executor.stdout_closed()) << bad;
    EXPECT_EQ(executor.wait_exit(), 0);
  }
}

TEST(ServiceLoop, IdleAfterATerminalRunSleepsUntilInputArrives) {
  ExecutorProcess executor;
  // A terminal run leaves descriptor 0 non-blocking.
  executor.send_line(R"({"type":"run.ast","run_id":"t","ast":{"Command":{"name":"true","args":[],)"
                     R"("single_quoted_args":[],"redirects":[]}}})");
  executor.read_until(R"("type":"exit")");
  const long switches_before = executor.voluntary_switches();
  const long ticks_before = executor.cpu_ticks();
  std::this_thread::sleep_for(2s);
  const long switches = executor.voluntary_switches() - switches_before;
  const long ticks = executor.cpu_ticks() - ticks_before;
  // Waking every millisecond would be about two thousand switches.
  EXPECT_LT(switches, 50);
  EXPECT_LT(ticks, 10);
  executor.send_line(R"({"type":"later"})");
  EXPECT_EQ(executor.next_line(), unknown("later"));
}

TEST(ServiceLoop, FrontEndClosingStdoutEndsTheProcess) {
  ExecutorProcess executor;
  executor.send_line(R"({"type":"alive"})");
  EXPECT_EQ(executor.next_line(), unknown("alive"));
  executor.close_stdout();
  // The reply to this line meets a pipe without reader (EPIPE); stdin stays
  // open, so only the failed write can end the process.
  executor.send_line(R"({"type":"nobody reads this"})");
  EXPECT_EQ(executor.wait_exit(), 0);
}

TEST(ServiceLoop, FrontEndClosingStdoutWhileWriteIsBlockedEndsTheProcess) {
  ExecutorProcess executor;
  // Far more reply bytes (166 KB) than the pipe and the first read of them
  // (64 KB each) can take, so the executor is still writing when the output
  // closes; the requests themselves (58 KB) fit in the input pipe.
  std::string many;
  for (int i = 0; i < 4500; ++i) many += "{\"type\":\"x\"}\n";
  executor.send(many);
  EXPECT_EQ(executor.next_line(), unknown("x"));
  executor.close_stdout();
  EXPECT_EQ(executor.wait_exit(), 0);
}

}  // namespace
}  // namespace zelta::testing
