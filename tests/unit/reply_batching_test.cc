// Replies to requests already waiting go out together; nothing stays held
// once no complete request waits, or before a request that needs system work.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "protocol/output.h"
#include "service/service_loop.h"

namespace zelta {
namespace {

// What the front end could read right now, without waiting.
std::string readable(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

TEST(ReplyBatching, HeldRepliesGoOutWithTheLastWaitingOneOrBeforeSystemWork) {
  const std::string unknown = "{\"exit_code\":1,\"error\":\"Unknown: a\"}\n";
  const std::string parse_error = "{\"exit_code\":1,\"error\":\"Parse error\"}\n";
  const std::string no_patterns = "{\"exit_code\":1,\"error\":\"Missing patterns\"}\n";
  struct Step {
    const char* line;
    bool more_waiting;
    std::string readable_after;
  };
  const std::vector<std::vector<Step>> cases = {
      // Nothing waits: each reply goes out at once.
      {{R"({"type":"a"})", false, unknown}, {"x", false, parse_error}},
      // Replies to waiting requests are held until the last one.
      {{R"({"type":"a"})", true, ""},
       {"x", true, ""},
       {R"({"type":"a"})", false, unknown + parse_error + unknown}},
      // A request that needs system work first hands over what was held.
      {{R"({"type":"a"})", true, ""}, {R"({"type":"glob"})", true, unknown + no_patterns}},
  };
  for (const auto& steps : cases) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    set_output_fd_for_testing(fds[1]);
    for (const Step& step : steps) {
      serve_line(step.line, step.more_waiting);
      EXPECT_EQ(readable(fds[0]), step.readable_after) << step.line;
    }
    hold_output(false);
    EXPECT_EQ(readable(fds[0]), "");
    set_output_fd_for_testing(1);
    ::close(fds[0]);
    ::close(fds[1]);
  }
}

}  // namespace
}  // namespace zelta
