// The service loop as seen on the wire: framing, end of input, exit status.
#include <gtest/gtest.h>

#include "executor_process.h"

namespace zelta::testing {
namespace {

TEST(ServiceLoop, IdleEndOfInputExitsZeroWithoutOutput) {
  ExecutorProcess executor;
  executor.close_stdin();
  EXPECT_TRUE(executor.stdout_closed());
  EXPECT_EQ(executor.wait_exit(), 0);
}

TEST(ServiceLoop, EmptyLineIsParseError) {
  ExecutorProcess executor;
  executor.send("\n");
  EXPECT_EQ(executor.next_line(), R"({"exit_code":1,"error":"Parse error"})");
}

TEST(ServiceLoop, InvalidUtf8LineEndsWithoutReply) {
  ExecutorProcess executor;
  executor.send("{\"type\":\"\xff\"}\n");
  EXPECT_TRUE(executor.stdout_closed());
  EXPECT_EQ(executor.wait_exit(), 0);
}

}  // namespace
}  // namespace zelta::testing
