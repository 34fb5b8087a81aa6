// The client's reading of executor lines, checked against scripted stand-ins for the
// executor: stale replies before the acknowledgement, foreign run ids, bad lines, and
// an executor that vanishes in the middle of a run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

// The client against tests/e2e/support/fake_concurrent_executor.py, whose command names
// script each run; every line the client sent is read back from its log.
class ClientWithConcurrentFake : public ::testing::Test {
 protected:
  void SetUp() override {
    char directory[] = "/tmp/zelta-fake-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    directory_ = directory;
    log_ = directory_ + "/sent";
    setenv("ZELTA_FAKE_LOG", log_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ZELTA_FAKE_LOG");
    unsetenv("ZELTA_FAKE_OLD");
    std::remove(log_.c_str());
    rmdir(directory_.c_str());
  }
  ClientResult run(const std::string& script) {
    return run_client({"--executor", std::string(ZELTA_SOURCE_DIR) +
                                         "/tests/e2e/support/fake_concurrent_executor.py"},
                      script);
  }
  std::string sent() const {
    std::ifstream file(log_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  std::string directory_;
  std::string log_;
};

TEST_F(ClientWithConcurrentFake, BackgroundRunsAreKeptQuietAndReportedBeforeTheNextLine) {
  // r1..r3 go to the background, r4 runs in the foreground meanwhile; each terminal
  // run ends when it gets Ctrl-D, which the fake receives in the order of "started",
  // so r1 and r2 have ended before r4 has.
  const ClientResult result = run("status 3 &\necho a b&\nhang &   # comment\necho fg\njobs\n");
  EXPECT_EQ(result.out, "fg\n[3]+ Running  hang\n");
  EXPECT_EQ(result.err, "[1]  Exit 3  status 3\n[2]- Done  echo a b\n");
  EXPECT_EQ(result.status, 0);
  const std::string log = sent();
  // "hello" asks for "concurrent" before the first background run, and only once.
  EXPECT_EQ(log.rfind(R"({"type":"hello","extensions":["concurrent"]})"
                      "\n",
                      0),
            0u)
      << log;
  EXPECT_EQ(log.find("hello", 10), std::string::npos) << log;
  for (const char* run : {"r1", "r2", "r3", "r4"}) {
    const std::string eof =
        std::string(R"({"type":"stdin.write","run_id":")") + run + R"(","data":"\u0004"})";
    EXPECT_NE(log.find(eof), std::string::npos) << eof << " in " << log;
  }
  // The run still going when the client ends is asked to end.
  EXPECT_NE(log.find(R"({"type":"run.signal","run_id":"r3","signal":"TERM"})"), std::string::npos)
      << log;
}

TEST_F(ClientWithConcurrentFake, RefusalsWaitAndALostExecutor) {
  // A refused background run is reported with its error; `wait` returns once every
  // background run has ended; the executor's loss ends the runs it had.
  const ClientResult refused = run("refuse x | y &\nstatus 0 | z &\nwait\njobs\n");
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err,
            "stdio_client: spawn failed: refused\n[1]- Exit 1  refuse x | y\n"
            "[2]+ Done  status 0 | z\n");
  EXPECT_EQ(refused.status, 0);
  // Without a terminal a background pipeline streams, like a foreground one.
  EXPECT_NE(
      sent().find(R"("stream":true,"ast":{"Pipeline":{"commands":[{"Command":{"name":"status")"),
      std::string::npos)
      << sent();

  const ClientResult lost = run("hang &\ndie\njobs\necho again\n");
  EXPECT_EQ(lost.out, "again\n");
  EXPECT_EQ(lost.err, "stdio_client: the executor ended unexpectedly\n[1]+ Exit 1  hang\n");
}

TEST_F(ClientWithConcurrentFake, WithoutConcurrentTheLineRunsInTheForeground) {
  setenv("ZELTA_FAKE_OLD", "1", 1);
  const ClientResult result = run("echo a &\njobs\nstatus 4 &\n");
  const std::string notice =
      "stdio_client: background runs need an executor with \"concurrent\"; running in the "
      "foreground\n";
  EXPECT_EQ(result.out, "a\n");
  EXPECT_EQ(result.err, notice + notice);
  EXPECT_EQ(result.status, 4);
  const std::string log = sent();
  EXPECT_EQ(log.find("hello", log.find("hello") + 1), std::string::npos) << log;
}

}  // namespace
}  // namespace zelta::testing
