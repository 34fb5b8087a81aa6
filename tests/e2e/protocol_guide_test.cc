// The sessions shown in docs/protocol.md, replayed against the built executor: each
// ```session block runs on a fresh executor, its "> " lines are sent in order and
// its "< " lines must come back byte for byte ("<pid>" stands for any process id; a
// terminal's output may come in more "stdout" events than shown).
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "executor_process.h"

namespace zelta::testing {
namespace {

struct Session {
  int first_line = 0;       // line number of the opening fence, for messages
  bool linux_only = false;  // "```session linux": needs the Linux calls (/proc)
  std::vector<std::string> lines;
};

#if defined(__linux__) && !defined(ZELTA_PORTABLE_FALLBACKS)
constexpr bool kLinuxCalls = true;
#else
constexpr bool kLinuxCalls = false;
#endif

std::vector<Session> sessions_in(const std::string& path) {
  std::ifstream file(path);
  std::vector<Session> sessions;
  std::string line;
  bool inside = false;
  for (int number = 1; std::getline(file, line); ++number) {
    if (!inside && (line == "```session" || line == "```session linux")) {
      inside = true;
      sessions.push_back({number, line != "```session", {}});
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

// `line` with every occurrence of `from` replaced by `to`.
std::string replaced(std::string line, const std::string& from, const std::string& to) {
  for (std::size_t at = line.find(from); at != std::string::npos; at = line.find(from, at)) {
    line.replace(at, from.size(), to);
    at += to.size();
  }
  return line;
}

// Receives what the guide shows as the "<" line `expected`. A terminal hands
// its output over in reads whose boundaries it chooses (a line's text and its
// CR LF often come apart, and echo comes a character at a time), so a
// "stdout" event of the guide may arrive as several in a row: each must be
// the guide's line with its own part of the text, and the parts must join to
// the guide's text.
::testing::AssertionResult receive(ExecutorProcess& executor, const std::string& expected) {
  const nlohmann::json shown = nlohmann::json::parse(expected, nullptr, false);
  const bool output = shown.is_object() && shown.value("type", "") == "stdout" &&
                      shown.contains("data") && shown["data"].is_string();
  const std::string text = output ? shown["data"].get<std::string>() : "";
  const std::string quoted = nlohmann::json(text).dump();
  if (!output || text.empty() || expected.find(quoted) == std::string::npos) {
    const std::string received = executor.next_line();
    if (matches(expected, received)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << expected << "\n     got " << received;
  }
  std::string joined;
  while (joined.size() < text.size()) {
    const std::string received = executor.next_line();
    const nlohmann::json event = nlohmann::json::parse(received, nullptr, false);
    const std::string part = event.is_object() && event.value("data", nlohmann::json()).is_string()
                                 ? event["data"].get<std::string>()
                                 : "";
    const std::string part_line = replaced(expected, quoted, nlohmann::json(part).dump());
    if (part.empty() || received != part_line || text.compare(joined.size(), part.size(), part)) {
      return ::testing::AssertionFailure() << "expected " << expected << "\n     got " << received
                                           << "\n     after " << nlohmann::json(joined).dump();
    }
    joined += part;
  }
  return ::testing::AssertionSuccess();
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
    if (session.linux_only && !kLinuxCalls) continue;
    SCOPED_TRACE("session at docs/protocol.md:" + std::to_string(session.first_line));
    ExecutorProcess executor;
    for (const std::string& line : session.lines) {
      ASSERT_GE(line.size(), 2u) << "line without direction: " << line;
      const std::string direction = line.substr(0, 2);
      const std::string text = line.substr(2);
      if (direction == "> ") {
        executor.send_line(text);
      } else if (direction == "< ") {
        ASSERT_TRUE(receive(executor, text));
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
