// Memory after very large requests: what a request took is given back once
// it is served, so one large request does not pin memory for the rest of a
// long session.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "executor_process.h"
#include "run_requests.h"

namespace zelta::testing {
namespace {

// A 12 MB line of three million short words: millions of small blocks in
// the decoded request, its tree and its launch form, none large enough to
// come straight from the system.
std::string many_arguments_line(const std::string& type_fields) {
  std::string line = R"({"type":"run.ast","run_id":"big",)" + type_fields + R"("args":[)";
  constexpr int kWords = 3'000'000;
  line.reserve(line.size() + 4 * kWords + 64);
  for (int i = 0; i < kWords; ++i) line += i == 0 ? R"("a")" : R"(,"a")";
  line += R"(],"single_quoted_args":[],"redirects":[]}}})";
  return line;
}

TEST(MemoryE2E, LargeRequestsGiveTheirMemoryBack) {
  if (!kResidentMemoryIsMeaningful) GTEST_SKIP() << "the sanitizer allocator keeps freed memory";
  ExecutorProcess executor;
  executor.send_line(R"({"type":"process_subst"})");
  executor.next_line();
  const long before = resident_kib(executor.pid());
  const struct {
    const char* name;
    std::string line;
  } cases[] = {
      // Too many arguments to execute: the run reports that on its terminal.
      {"terminal run", many_arguments_line(R"("ast":{"Command":{"name":"true",)")},
      // A tree that lowering refuses after decoding all of it.
      {"refused tree",
       many_arguments_line(R"("ast":{"Pipeline":{"commands":[]},"x":{"Command":{"name":"true",)")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    executor.send_line(c.line);
    RunOutcome run = read_run(executor, std::chrono::seconds(120));
    EXPECT_TRUE(run.exit_code >= 0 || !run.error.empty());
    executor.send_line(R"({"type":"process_subst"})");
    EXPECT_NE(executor.next_line().find("temp_path"), std::string::npos);
    const long after = resident_kib(executor.pid());
    std::printf("%s: rss %ld KiB -> %ld KiB, peak %ld KiB\n", c.name, before, after,
                status_kib(executor.pid(), "VmHWM"));
    // Before the memory was given back, 140 MB and more stayed resident.
    EXPECT_LT(after, before + 24 * 1024);
  }
}

// The same large request again and again: from the second one on, its line
// and its blocks come from the free space the first one left in the heap, and
// must be given back from there too.
TEST(MemoryE2E, RepeatedLargeRequestsGiveTheirMemoryBack) {
  if (!kResidentMemoryIsMeaningful) GTEST_SKIP() << "the sanitizer allocator keeps freed memory";
  ExecutorProcess executor;
  if (!pipelines_available(executor)) GTEST_SKIP() << "pipelines are not launched yet";
  // Too many arguments for its first member, which therefore fails to start.
  const std::string big =
      many_arguments_line(R"("ast":{"Pipeline":{"commands":[{"Command":{"name":"true",)");
  const struct {
    const char* name;
    std::string line;
  } cases[] = {
      {"failed pipeline", big.substr(0, big.size() - 2) +
                              R"(},{"Command":{"name":"no-such-program-zelta","args":[],)"
                              R"("single_quoted_args":[],"redirects":[]}}]}}})"},
      {"terminal run", many_arguments_line(R"("ast":{"Command":{"name":"true",)")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    executor.send_line(R"({"type":"process_subst"})");
    executor.next_line();
    const long before = resident_kib(executor.pid());
    for (int round = 0; round < 3; ++round) {
      executor.send_line(c.line);
      RunOutcome run = read_run(executor, std::chrono::seconds(120));
      EXPECT_TRUE(run.exit_code >= 0 || !run.error.empty());
      executor.send_line(R"({"type":"process_subst"})");
      EXPECT_NE(executor.next_line().find("temp_path"), std::string::npos);
      const long after = resident_kib(executor.pid());
      std::printf("%s, round %d: rss %ld KiB -> %ld KiB\n", c.name, round, before, after);
      // Before, the line's 16 MB of storage stayed from the second round on.
      EXPECT_LT(after, before + 6 * 1024) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace zelta::testing
