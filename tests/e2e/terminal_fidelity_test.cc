// What a terminal run shows compared with a real terminal: window resizes
// reach the command, characters arrive whole, and a paste is echoed whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "executor_process.h"
#include "run_requests.h"

namespace zelta::testing {
namespace {

using nlohmann::json;

// Reads the run's events until their concatenated output ends with `tail`;
// returns that output. Records a failure when the run ends first.
std::string output_until(ExecutorProcess& executor, const std::string& tail) {
  std::string text;
  while (text.size() < tail.size() || text.compare(text.size() - tail.size(), tail.size(), tail)) {
    auto line = executor.read_line();
    if (!line) {
      ADD_FAILURE() << "no more output; got so far: " << text;
      return text;
    }
    const json event = json::parse(*line);
    if (event.value("type", "") == "exit") {
      ADD_FAILURE() << "run ended; got so far: " << text;
      return text;
    }
    if (event.value("type", "") == "stdout") text += event.at("stdout").get<std::string>();
  }
  return text;
}

// Starts `sh -c script` as run "w" and waits for its "started" event.
void start_shell(ExecutorProcess& executor, const std::string& script,
                 const json& extra = json::object()) {
  executor.send_line(command_request("w", "sh", {"-c", script}, json::array(), extra));
  EXPECT_EQ(executor.next_line(), R"({"msg_type":"run.ast","run_id":"w","type":"recv"})");
  EXPECT_NE(executor.next_line().find(R"("type":"started")"), std::string::npos);
}

// Prints the window size at every SIGWINCH; the trap runs between sleeps.
constexpr char kSizeReporter[] =
    "trap 'echo size $(stty size)' WINCH; echo ready; while :; do sleep 0.05; done";

TEST(TerminalResize, CommandSeesEachNewSize) {
  ExecutorProcess executor;
  start_shell(executor, kSizeReporter, {{"rows", 24}, {"cols", 80}});
  output_until(executor, "ready\r\n");
  struct Step {
    json fields;
    std::string size;
  };
  const Step steps[] = {
      {{{"rows", 30}, {"cols", 100}}, "30 100"},     {{{"cols", 120}}, "30 120"},
      {{{"rows", 40}, {"cols", nullptr}}, "40 120"}, {{{"rows", 0}, {"cols", 65535}}, "0 65535"},
      {{{"rows", 25}, {"cols", 81}}, "25 81"},
  };
  for (const Step& step : steps) {
    executor.send_line(control_request("run.resize", "w", step.fields));
    EXPECT_EQ(output_until(executor, "\r\n"), "size " + step.size + "\r\n");
  }
}

TEST(TerminalResize, ResizesForOtherRunsOrThatDoNotDecodeChangeNothing) {
  ExecutorProcess executor;
  start_shell(executor, kSizeReporter, {{"rows", 24}, {"cols", 80}});
  output_until(executor, "ready\r\n");
  executor.send_line(control_request("run.resize", "other", {{"rows", 5}, {"cols", 5}}));
  executor.send_line(R"({"type":"run.resize","rows":6,"cols":6})");  // no run_id
  executor.send_line(control_request("run.resize", "w", {{"rows", 65536}}));
  executor.send_line(control_request("run.resize", "w", {{"rows", -1}}));
  executor.send_line(control_request("run.resize", "w", {{"rows", "7"}}));
  executor.send_line(control_request("run.resize", "w", {{"cols", 8.5}}));
  executor.send_line(control_request("run.resize", "w"));  // same size: no signal
  // Only this one changes the size, and only its columns.
  executor.send_line(control_request("run.resize", "w", {{"cols", 90}}));
  EXPECT_EQ(output_until(executor, "\r\n"), "size 24 90\r\n");
  executor.send_line(control_request("run.signal", "w", {{"signal", "KILL"}}));
  EXPECT_EQ(read_run(executor).exit_code, 137);
  // Outside a run the request is unknown, like every control request.
  executor.send_line(control_request("run.resize", "w", {{"rows", 30}}));
  EXPECT_EQ(executor.next_line(), R"({"exit_code":1,"error":"Unknown: run.resize"})");
}

// `bytes` as a printf format of octal escapes (every byte, so nothing is special).
std::string octal(const std::string& bytes) {
  std::string format;
  char escape[8];
  for (unsigned char byte : bytes) {
    std::snprintf(escape, sizeof escape, "\\%03o", byte);
    format += escape;
  }
  return format;
}

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TerminalText, CharacterSplitByAPauseArrivesWhole) {
  ExecutorProcess executor;
  for (const std::string character : {"\xC3\xA9", "\xE2\x94\x80", "\xF0\x9F\x98\x80"}) {
    for (std::size_t split = 1; split < character.size(); ++split) {
      const std::string script = "printf '" + octal("<" + character.substr(0, split)) +
                                 "'; sleep 0.2; printf '" + octal(character.substr(split) + ">") +
                                 "'";
      executor.send_line(command_request("s", "sh", {"-c", script}));
      const RunOutcome run = read_run(executor);
      EXPECT_EQ(run.exit_code, 0);
      EXPECT_EQ(run.stdout_text, "<" + character + ">") << "split at " << split;
    }
  }
}

TEST(TerminalText, TruncatedCharacterAtTheEndIsOneReplacementInALastEvent) {
  ExecutorProcess executor;
  struct Case {
    std::string bytes, text;
  };
  const Case cases[] = {
      {"a\xE2\x94", "a" + kReplacement},
      {"\xF0\x9F\x98", kReplacement},
      {"\xC3", kReplacement},
      // Bytes that can never become a character are replaced where they stand.
      {"a\xFF"
       "b\xC0\xAF\xED\xA0\x80",
       "a" + kReplacement + "b" + kReplacement + kReplacement + kReplacement + kReplacement +
           kReplacement},
  };
  for (const Case& c : cases) {
    executor.send_line(command_request("t", "printf", {octal(c.bytes)}));
    const RunOutcome run = read_run(executor);
    EXPECT_EQ(run.stdout_text, c.text);
    ASSERT_GE(run.events.size(), 3u);
    const json& last = run.events[run.events.size() - 2];
    EXPECT_EQ(last.value("type", ""), "stdout");
    if (c.text.ends_with(kReplacement)) {
      EXPECT_TRUE(last.at("stdout").get<std::string>().ends_with(kReplacement));
    }
  }
}

TEST(TerminalText, LargeMultiByteTextArrivesExactly) {
  // 20,000+ characters of two, three and four bytes in one write of about 55 KB,
  // which reaches the executor over many reads.
  std::string text;
  for (int line = 0; line < 1600; ++line) {
    text +=
        "\xE2\x94\x8C\xE2\x94\x80\xE2\x94\x90 \xE4\xB8\xAD\xE6\x96\x87 \xC3\xA9\xC3\xA0 "
        "\xF0\x9F\x98\x80\xE2\x94\x82" +
        std::to_string(line) + "\n";
  }
  ScratchDirectory dir;
  const std::string path = dir.write_file("wide.txt", text);
  std::string expected;
  for (char c : text) expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
  ExecutorProcess executor;
  for (int round = 0; round < 4; ++round) {
    executor.send_line(command_request("c", "cat", {path}));
    const RunOutcome run = read_run(executor);
    EXPECT_EQ(run.exit_code, 0);
    ASSERT_EQ(run.stdout_text.size(), expected.size()) << "round " << round;
    EXPECT_TRUE(run.stdout_text == expected) << "round " << round;
  }
}

TEST(TerminalPaste, PasteReachesTheCommandAndItsEchoArrivesWhole) {
  // 100 KB in numbered lines, pasted at once into a command reading through the
  // terminal's line editing with echo on.
  std::string paste;
  for (int line = 0; paste.size() < 100 * 1024; ++line) {
    paste += std::to_string(line) + std::string(60, static_cast<char>('a' + line % 26)) + "\n";
  }
  paste.resize(100 * 1024);
  paste.back() = '\n';  // line editing hands a line over only once it is complete
  std::string echo;
  for (char c : paste) echo += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const bool slow : {false, true}) {
    SCOPED_TRACE(slow ? "slow front end" : "fast front end");
    ScratchDirectory dir;
    ExecutorProcess executor;
    // A front end that renders slowly takes 2 KB at a time with 2 ms pauses.
    if (slow) executor.read_slowly(2048, std::chrono::milliseconds(2));
    start_shell(executor,
                "head -c " + std::to_string(paste.size()) + " > " + dir.path() + "/pasted");
    executor.send_line(control_request("stdin.write", "w", {{"data", paste}}));
    const RunOutcome run = read_run(executor);
    EXPECT_EQ(run.exit_code, 0);
    std::ifstream file(dir.path() + "/pasted", std::ios::binary);
    const std::string pasted{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(pasted.size(), paste.size());
    EXPECT_TRUE(pasted == paste);
    EXPECT_EQ(run.stdout_text.size(), echo.size());
    EXPECT_TRUE(run.stdout_text == echo);
  }
}

}  // namespace
}  // namespace zelta::testing
