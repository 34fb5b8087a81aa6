// Background runs of the client: attribution of executor lines, job numbers, marks
// and the lines that report them.
#include "clients/cli/job_table.h"

#include <gtest/gtest.h>

#include <string>

#include "clients/cli/event_router.h"

namespace zelta::client {
namespace {

using Kind = RoutedLine::Kind;

TEST(EventRouter, RepliesAreMatchedByOrderAndEventsByRunId) {
  EventRouter router;
  // A reply before any run answers a control line sent after an earlier run.
  EXPECT_EQ(router.route(R"({"exit_code":1,"error":"Unknown: stdin.write"})").kind, Kind::kStale);
  EXPECT_EQ(router.route("not json").kind, Kind::kMalformed);
  EXPECT_EQ(router.route(R"([1,2])").kind, Kind::kMalformed);
  // The refusal follows its run's "recv", even with another run's events between.
  EXPECT_EQ(router.route(R"({"msg_type":"run.ast","run_id":"r1","type":"recv"})").kind,
            Kind::kEvent);
  const RoutedLine other = router.route(R"({"data":"x","run_id":"r0","type":"stdout"})");
  EXPECT_EQ(other.kind, Kind::kEvent);
  EXPECT_EQ(other.run_id, "r0");
  const RoutedLine refusal = router.route(R"({"exit_code":1,"error":"Too many runs"})");
  EXPECT_EQ(refusal.kind, Kind::kRefusal);
  EXPECT_EQ(refusal.run_id, "r1");
  // Only one refusal per run, and none once the run has shown it was accepted.
  EXPECT_EQ(router.route(R"({"exit_code":1,"error":"Unknown: run.signal"})").kind, Kind::kStale);
  router.route(R"({"msg_type":"run.ast","run_id":"r2","type":"recv"})");
  router.route(R"({"backend_pid":1,"child_pid":2,"command":"x","run_id":"r2","type":"started"})");
  EXPECT_EQ(router.route(R"({"exit_code":1,"error":"Unknown: stdin.write"})").kind, Kind::kStale);
  // The answer to "hello" is told from stale errors that come before it.
  router.expect_hello();
  EXPECT_EQ(router.route(R"({"exit_code":1,"error":"Unknown: stdin.write"})").kind, Kind::kStale);
  EXPECT_TRUE(router.hello_pending());
  EXPECT_EQ(router.route(R"({"exit_code":1,"error":"Unknown: hello"})").kind, Kind::kHelloReply);
  EXPECT_FALSE(router.hello_pending());
  router.expect_hello();
  EXPECT_EQ(router.route(R"({"exit_code":0,"extensions":["concurrent"],"version":"1"})").kind,
            Kind::kHelloReply);
}

TEST(JobTable, NumbersMarksNoticesAndListing) {
  EventRouter router;
  JobTable jobs;
  auto feed = [&](const std::string& line) { return jobs.record(router.route(line)); };
  EXPECT_EQ(jobs.add("r1", "sleep 9", true), 1);
  EXPECT_EQ(jobs.add("r2", "a | b", false), 2);
  EXPECT_EQ(jobs.add("r3", "false", true), 3);
  EXPECT_EQ(jobs.listing(), "[1]  Running  sleep 9\n[2]- Running  a | b\n[3]+ Running  false\n");
  // Only a terminal run's "started" asks for end of file.
  feed(R"({"msg_type":"run.ast","run_id":"r1","type":"recv"})");
  EXPECT_TRUE(
      feed(R"({"backend_pid":1,"child_pid":2,"command":"s","run_id":"r1","type":"started"})"));
  EXPECT_FALSE(
      feed(R"({"backend_pid":1,"child_pid":2,"command":"x","run_id":"r9","type":"started"})"));
  feed(R"({"msg_type":"run.ast","run_id":"r2","type":"recv"})");
  feed(R"j({"exit_code":1,"error":"spawn failed: No such file or directory (os error 2)"})j");
  feed(R"({"data":"kept","run_id":"r3","stdout":"kept","type":"stdout"})");
  feed(R"({"exit_code":0,"run_id":"r3","type":"exit"})");
  feed(R"({"exit_code":5,"run_id":"r3","type":"exit"})");  // only the first end counts
  EXPECT_EQ(jobs.live(), 1u);
  EXPECT_EQ(jobs.take_notices(),
            "stdio_client: spawn failed: No such file or directory (os error 2)\n"
            "[2]- Exit 1  a | b\n"
            "[3]+ Done  false\n");
  EXPECT_EQ(jobs.take_notices(), "");
  EXPECT_EQ(jobs.listing(), "[1]+ Running  sleep 9\n");
  // Numbers follow the highest one left; an empty table starts again at 1.
  EXPECT_EQ(jobs.add("r4", "x", true), 2);
  EXPECT_EQ(jobs.live_run_ids(), (std::vector<std::string>{"r1", "r4"}));
  jobs.end_all(1);
  EXPECT_EQ(jobs.take_notices(), "[1]- Exit 1  sleep 9\n[2]+ Exit 1  x\n");
  EXPECT_FALSE(jobs.owns("r1"));
  EXPECT_EQ(jobs.add("r5", "y", true), 1);
}

}  // namespace
}  // namespace zelta::client
