// Pipeline members start on a path that shares the executor's memory until the
// exec (no copy of a large executor per member).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>

#include <atomic>
#include <string>

#include "launch/spawn.h"
#include "platform/features.h"
#include "scratch_dir.h"

namespace zelta {
namespace {

std::atomic<int> g_fork_handlers_run{0};

// fork() runs the handlers registered with pthread_atfork; a start that never
// copies the executor (a clone sharing its memory, as the C library's spawn
// uses) runs none.
TEST(StartProcess, StartsMembersWithoutForkingTheExecutor) {
  if (!kLinuxCalls) GTEST_SKIP() << "the portable spawn forks";
  static const bool registered =
      ::pthread_atfork([] { ++g_fork_handlers_run; }, nullptr, nullptr) == 0;
  ASSERT_TRUE(registered);
  ScratchDir dir;
  // A script without "#!" takes the second start, under /bin/sh.
  dir.write_file("script", "exit 3\n", 0755);
  const struct {
    std::string program;
    int exit_code;
  } cases[] = {{"true", 0}, {dir.path + "/script", 3}};
  for (const auto& c : cases) {
    const int before = g_fork_handlers_run.load();
    ProcessSpec spec;
    spec.program = c.program;
    spec.stdin_slot = StdioSlot::null();
    spec.stdout_slot = StdioSlot::null();
    auto child = start_process(std::move(spec));
    ASSERT_TRUE(child.ok()) << c.program << ": " << child.error();
    int status = 0;
    ASSERT_EQ(::waitpid(child->pid, &status, 0), child->pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exit_code) << c.program;
    EXPECT_EQ(g_fork_handlers_run.load(), before) << c.program;
  }
}

}  // namespace
}  // namespace zelta
