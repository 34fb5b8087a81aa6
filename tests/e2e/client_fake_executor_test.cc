// The client's reading of executor lines, checked against scripted stand-ins for the
// executor: stale replies before the acknowledgement, foreign run ids, bad lines, and
// an executor that vanishes in the middle of a run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "client_runner.h"

namespace zelta::testing {
namespace {

// A script standing in for the executor: it reads the run request, writes `lines`,
// then either keeps reading its input until the client closes it or ends at once.
class FakeExecutor {
 public:
  FakeExecutor(const std::string& lines, bool vanish) {
    char directory[] = "/tmp/zelta-fake-XXXXXX";
    if (mkdtemp(directory) == nullptr) return;
    directory_ = directory;
    path_ = directory_ + "/executor";
    std::ofstream script(path_);
    script << "#!/bin/sh\nread request\ncat <<'LINES'\n"
           << lines << "LINES\n"
           << (vanish ? "exit 0\n" : "cat > /dev/null\n");
    script.close();
    chmod(path_.c_str(), 0700);
  }
  ~FakeExecutor() {
    std::remove(path_.c_str());
    rmdir(directory_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string directory_;
  std::string path_;
};

TEST(ClientWithScriptedExecutor, RendersOnlyItsOwnRunAndSkipsRepliesMeantForEarlierLines) {
  FakeExecutor executor(
      R"({"exit_code":1,"error":"Unknown: stdin.write"}
{"msg_type":"run.ast","run_id":"r1","type":"recv"}
{"backend_pid":10,"child_pid":11,"command":"x","run_id":"r1","type":"started"}
not a json line
{"data":"other","run_id":"r9","stdout":"other","type":"stdout"}
{"data":"mine","run_id":"r1","stdout":"mine","type":"stdout"}
{"exit_code":7,"run_id":"r1","type":"exit"}
)",
      false);
  const ClientResult result = run_client({"--executor", executor.path(), "x"});
  EXPECT_EQ(result.out, "mine");
  EXPECT_EQ(result.err, "stdio_client: unexpected line from the executor: not a json line\n");
  EXPECT_EQ(result.status, 7);
}

TEST(ClientWithScriptedExecutor, ErrorReplyAfterTheAcknowledgementEndsTheRun) {
  FakeExecutor executor(R"({"msg_type":"run.ast","run_id":"r1","type":"recv"}
{"exit_code":1,"error":"forkpty failed"}
)",
                        false);
  const ClientResult result = run_client({"--executor", executor.path(), "x"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "stdio_client: forkpty failed\n");
  EXPECT_EQ(result.status, 1);
}

TEST(ClientWithScriptedExecutor, VanishedExecutorEndsTheRunWithAMessage) {
  FakeExecutor executor(R"({"msg_type":"run.ast","run_id":"r1","type":"recv"}
{"data":"partial","run_id":"r1","stdout":"partial","type":"stdout"}
)",
                        true);
  const ClientResult result = run_client({"--executor", executor.path(), "a | b"});
  EXPECT_EQ(result.out, "partial");
  EXPECT_EQ(result.err, "stdio_client: the executor ended unexpectedly\n");
  EXPECT_EQ(result.status, 1);
}

TEST(ClientWithScriptedExecutor, ExecutorIsFoundThroughTheEnvironmentVariable) {
  FakeExecutor executor(R"({"msg_type":"run.ast","run_id":"r1","type":"recv"}
{"exit_code":4,"run_id":"r1","type":"exit"}
)",
                        false);
  setenv("ZELTA_STDIO_EXECUTOR", executor.path().c_str(), 1);
  const ClientResult result = run_client({"x | y"});
  unsetenv("ZELTA_STDIO_EXECUTOR");
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace zelta::testing
