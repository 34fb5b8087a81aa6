// The sessions shown in docs/protocol.md, replayed against the built executor: each
// ```session block runs on a fresh executor, its "> " lines are sent in order and
// its "< " lines must come back byte for byte ("<pid>" stands for any process id).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "executor_process.h"

namespace zelta::testing {
namespace {

struct Session {
  int first_line = 0;  // line number of the opening fence, for messages
  std::vector<std::string> lines;
};

std::vector<Session> sessions_in(const std::string& path) {
  std::ifstream file(path);
  std::vector<Session> sessions;
  std::string line;
  bool inside = false;
  for (int number = 1; std::getline(file, line); ++number) {
    if (!inside && line == "```session") {
      inside = true;
      sessions.push_back({number, {}});
    } else if (inside && line == "```") {
      inside = false;
    } else if (inside) {
      sessions.back().lines.push_back(line);
    }
  }
  return sessions;
}

// True when `actual` equals `expected` with each "<pid>" standing for one or more digits.
bool matches(const std::string& expected, const std::string& actual) {
  const std::string placeholder = "<pid>";
  std::size_t e = 0, a = 0;
  while (true) {
    const std::size_t hole = expected.find(placeholder, e);
    const std::string literal = expected.substr(e, hole == std::string::npos ? hole : hole - e);
    if (actual.compare(a, literal.size(), literal) != 0) return false;
    a += literal.size();
    if (hole == std::string::npos) return a == actual.size();
    const std::size_t digits_start = a;
    while (a < actual.size() && actual[a] >= '0' && actual[a] <= '9') ++a;
    if (a == digits_start) return false;
    e = hole + placeholder.size();
  }
}

TEST(ProtocolGuide, PlaceholderMatchesOnlyDigits) {
  EXPECT_TRUE(matches(R"({"a":<pid>,"b":<pid>})", R"({"a":12,"b":345})"));
  EXPECT_TRUE(matches("/tmp/x-<pid>", "/tmp/x-7"));
  EXPECT_FALSE(matches("/tmp/x-<pid>", "/tmp/x-"));
  EXPECT_FALSE(matches("/tmp/x-<pid>", "/tmp/x-7a"));
  EXPECT_FALSE(matches(R"({"a":1})", R"({"a":1} )"));
}

TEST(ProtocolGuide, EverySessionReplaysAgainstTheExecutor) {
  const auto sessions = sessions_in(std::string(ZELTA_SOURCE_DIR) + "/docs/protocol.md");
  // Guards against a guide whose blocks silently stopped being recognised.
  ASSERT_GE(sessions.size(), 3u);
  for (const Session& session : sessions) {
    SCOPED_TRACE("session at docs/protocol.md:" + std::to_string(session.first_line));
    ExecutorProcess executor;
    for (const std::string& line : session.lines) {
      ASSERT_GE(line.size(), 2u) << "line without direction: " << line;
      const std::string direction = line.substr(0, 2);
      const std::string text = line.substr(2);
      if (direction == "> ") {
        executor.send_line(text);
      } else if (direction == "< ") {
        const std::string received = executor.next_line();
        ASSERT_TRUE(matches(text, received)) << "expected " << text << "\n     got " << received;
      } else {
        FAIL() << "line without direction: " << line;
      }
    }
    // Nothing beyond what the guide shows, and a clean end at end of input.
    executor.close_stdin();
    EXPECT_TRUE(executor.stdout_closed()) << "more output than the guide shows";
    EXPECT_EQ(executor.wait_exit(), 0);
  }
}

}  // namespace
}  // namespace zelta::testing
