// The protocol's extensions through the real executor: "hello", exit signals,
// every signal, the request's own environment, exact bytes, pausing the
// output and the terminal's foreground process.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "executor_process.h"
#include "run_requests.h"

namespace zelta::testing {
namespace {

using nlohmann::json;

constexpr const char* kHelloReply =
    R"({"exit_code":0,"extensions":["concurrent","env","exit_signal","foreground","pause","raw_output",)"
    R"("run.resize","signals","stream","terminal","terminal_fd"],"version":"0.1.0"})";

// An executor with the executor-wide extensions switched on.
void say_hello(ExecutorProcess& executor) {
  executor.send_line(R"({"type":"hello","extensions":["exit_signal","signals","env"]})");
  ASSERT_EQ(executor.next_line(), kHelloReply);
}

// Starts a single command as run "r1"; returns the child's pid from "started".
pid_t start(ExecutorProcess& executor, const std::string& name,
            const std::vector<std::string>& args, const json& extra = json::object()) {
  executor.send_line(command_request("r1", name, args, json::array(), extra));
  EXPECT_EQ(json::parse(executor.next_line()).value("type", ""), "recv");
  const json started = json::parse(executor.next_line());
  EXPECT_EQ(started.value("type", ""), "started");
  return started.value("child_pid", -1);
}

void control(ExecutorProcess& executor, const std::string& type, const json& fields = {}) {
  executor.send_line(control_request(type, "r1", fields.is_null() ? json::object() : fields));
}

json exit_event(ExecutorProcess& executor) {
  return json::parse(executor.read_until("\"type\":\"exit\"").back());
}

// Decodes standard padded base64 (the test's own, independent of the executor's).
std::string from_base64(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = (bits << 6) | static_cast<unsigned>(alphabet.find(c));
    if ((count += 6) >= 8) bytes.push_back(static_cast<char>((bits >> (count -= 8)) & 0xFF));
  }
  return bytes;
}

// The bytes of every raw "stdout" event among `lines`; fails on a text event.
std::string raw_bytes(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) {
    const json event = json::parse(line);
    if (event.value("type", "") != "stdout") continue;
    EXPECT_FALSE(event.contains("data")) << line;
    EXPECT_EQ(event.size(), 3u) << line;
    bytes += from_base64(event.at("base64").get<std::string>());
  }
  return bytes;
}

// The "foreground" event of run "r1" (the run must be live).
json foreground(ExecutorProcess& executor) {
  control(executor, "run.foreground");
  return json::parse(executor.read_until("\"type\":\"foreground\"").back());
}

TEST(ExtensionsE2E, HelloListsTheExtensionsAndIgnoresUnknownNames) {
  ExecutorProcess executor;
  executor.send_line(R"({"type":"hello"})");
  EXPECT_EQ(executor.next_line(), kHelloReply);
  executor.send_line(R"({"type":"hello","extensions":["no-such","exit_signal"]})");
  EXPECT_EQ(executor.next_line(), kHelloReply);
  executor.send_line(R"({"type":"hello","extensions":"exit_signal"})");
  EXPECT_EQ(executor.next_line(), R"({"exit_code":1,"error":"Parse error"})");
  // "hello" during a run is a line like any other: consumed, unanswered.
  start(executor, "sleep", {"30"});
  executor.send_line(R"({"type":"hello","run_id":"r1"})");
  control(executor, "run.signal", {{"signal", "KILL"}});
  const auto lines = executor.read_until("\"type\":\"exit\"");
  EXPECT_EQ(lines.back(), R"({"exit_code":137,"run_id":"r1","signal":"KILL","type":"exit"})");
}

// Without "hello" nothing changes: no signal keys, other names still SIGINT,
// the launch's TERM still wins and env_clear is ignored.
TEST(ExtensionsE2E, WithoutHelloEverythingIsAsBefore) {
  ExecutorProcess executor;
  start(executor, "sleep", {"30"});
  control(executor, "run.signal", {{"signal", "HUP"}});
  EXPECT_EQ(executor.read_until("\"type\":\"exit\"").back(),
            R"({"exit_code":130,"run_id":"r1","type":"exit"})");
  executor.send_line(command_request("r2", "sh", {"-c", "echo $TERM ${PATH:+path}"}, json::array(),
                                     {{"env", {{"TERM", "vt100"}}}, {"env_clear", true}}));
  EXPECT_EQ(read_run(executor).stdout_text, "xterm-256color path\r\n");
}

TEST(ExtensionsE2E, InteractiveBashIsHungUp) {
  ExecutorProcess executor;
  say_hello(executor);
  start(executor, "bash", {"--norc", "--noprofile", "-i"}, {{"env", {{"HISTFILE", "/dev/null"}}}});
  // The quotes keep the echo of the typed line from passing for the answer:
  // only a shell that runs it (and so ignores SIGTERM by now) prints "ready".
  control(executor, "stdin.write", {{"data", "echo re''ady\r"}});
  read_output_until(executor, "ready\r\n");
  // An interactive bash ignores TERM; SIGHUP ends it. bash itself only
  // notes a hang-up that arrives between running a line and waiting for the
  // next, and acts on it after the next keystroke, so it is sent again until
  // the shell has ended.
  control(executor, "run.signal", {{"signal", "TERM"}});
  json exit;
  for (int attempt = 0; attempt < 10 && exit.is_null(); ++attempt) {
    control(executor, "run.signal", {{"signal", "SIGHUP"}});
    while (auto line = executor.read_line(std::chrono::seconds(3))) {
      if (line->find("\"type\":\"exit\"") != std::string::npos) {
        exit = json::parse(*line);
        break;
      }
    }
  }
  EXPECT_EQ(exit.value("signal", ""), "HUP");
  EXPECT_EQ(exit.value("exit_code", 0), 129);
}

TEST(ExtensionsE2E, StopContinueAndUnknownSignals) {
  ExecutorProcess executor;
  say_hello(executor);
  const pid_t child = start(executor, "sleep", {"30"});
  control(executor, "run.signal", {{"signal", "STOP"}});
  EXPECT_TRUE(eventually([&] { return ExecutorProcess::process_state(child) == 'T'; }));
  control(executor, "run.signal", {{"signal", "SIGCONT"}});
  EXPECT_TRUE(eventually([&] { return ExecutorProcess::process_state(child) == 'S'; }));
  // Unknown names (and the lower case that used to mean SIGINT) send nothing.
  for (const char* name : {"BOGUS", "int", "SIG", "RTMIN+99", ""}) {
    control(executor, "run.signal", {{"signal", name}});
  }
  control(executor, "run.signal", {{"signal", "USR1"}});
  EXPECT_EQ(executor.read_until("\"type\":\"exit\"").back(),
            R"({"exit_code":138,"run_id":"r1","signal":"USR1","type":"exit"})");
}

TEST(ExtensionsE2E, ExitCodeAndSignalAreToldApart) {
  ExecutorProcess executor;
  say_hello(executor);
  start(executor, "sh", {"-c", "exit 130"});
  EXPECT_EQ(exit_event(executor).dump(), R"({"exit_code":130,"run_id":"r1","type":"exit"})");
  start(executor, "sleep", {"30"});
  control(executor, "run.signal", {{"signal", "INT"}});
  EXPECT_EQ(exit_event(executor).dump(),
            R"({"exit_code":130,"run_id":"r1","signal":"INT","type":"exit"})");
  // A pipeline's exit describes its last member.
  executor.send_line(pipeline_request("p", {{"true"}, {"sh", "-c", "kill -TERM $$"}}));
  const auto lines = executor.read_until("\"type\":\"exit\"");
  EXPECT_EQ(lines.back(), R"({"exit_code":1,"run_id":"p","signal":"TERM","type":"exit"})");
  executor.send_line(pipeline_request("q", {{"sh", "-c", "kill -TERM $$"}, {"true"}}));
  EXPECT_EQ(executor.read_until("\"type\":\"exit\"").back(),
            R"({"exit_code":0,"run_id":"q","type":"exit"})");
}

TEST(ExtensionsE2E, RawOutputAndBase64InputAreExactBytes) {
  ExecutorProcess executor;
  start(executor, "printf", {"\\351\\377"}, {{"raw_output", true}});
  auto lines = executor.read_until("\"type\":\"exit\"");
  EXPECT_EQ(raw_bytes(lines), "\xe9\xff");
  EXPECT_EQ(lines.back(), R"({"exit_code":0,"run_id":"r1","type":"exit"})");
  // Typed as exact bytes, NUL included, and read back through od.
  start(executor, "sh", {"-c", "stty raw -echo; echo go; head -c 4 | od -An -tx1"},
        {{"raw_output", true}});
  // "go" comes after the terminal is raw: nothing is typed before.
  executor.read_until("\"type\":\"stdout\"");
  control(executor, "stdin.write", {{"base64", "AOn/Cg=="}, {"data", "ignored"}});
  control(executor, "stdin.write", {{"base64", "not base64!"}});
  lines = executor.read_until("\"type\":\"exit\"");
  EXPECT_EQ(raw_bytes(lines), " 00 e9 ff 0a\n");  // a raw terminal adds no CR
}

// A paused run reads nothing: the command blocks on its full terminal, typed
// input still works, and after the resume nothing is missing.
TEST(ExtensionsE2E, PausedOutputBlocksTheCommandAndLosesNothing) {
  ExecutorProcess executor;
  const pid_t child = start(executor, "yes", {});
  control(executor, "run.pause");
  control(executor, "run.pause");
  foreground(executor);  // served after the pause: no output comes after it
  EXPECT_TRUE(executor.quiet_for(500ms));
  EXPECT_TRUE(eventually([&] { return ExecutorProcess::process_state(child) == 'S'; }));
  control(executor, "stdin.write", {{"data", "\u0003"}});
  // Ctrl-C ends it; the executor reaps it but holds "exit" until the resume.
  EXPECT_TRUE(eventually([&] { return ExecutorProcess::process_state(child) == 0; }));
  EXPECT_TRUE(executor.quiet_for(300ms));
  control(executor, "run.resume");
  EXPECT_EQ(exit_event(executor).value("exit_code", 0), 130);

  const std::string script = "i=0; while [ $i -lt 20000 ]; do echo line$i; i=$((i+1)); done";
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += "line" + std::to_string(i) + "\r\n";
  start(executor, "sh", {"-c", script});
  control(executor, "run.pause");
  std::this_thread::sleep_for(300ms);
  control(executor, "run.resume");
  control(executor, "run.resume");
  const RunOutcome run = read_run(executor);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.stdout_text == expected) << run.stdout_text.size() << " of " << expected.size();
}

// Pipelines with the extensions: a streamed one pauses (its members block),
// resumes, takes any signal and carries exact bytes; a job on a terminal
// reports the signal that ended its last member, and a plain exit 130 none.
TEST(ExtensionsE2E, PipelinesPauseCarryExactBytesAndReportSignals) {
  ExecutorProcess executor;
  say_hello(executor);
  executor.send_line(pipeline_request("r1", {{"yes"}, {"cat"}}, {{"stream", true}}));
  executor.next_line();  // recv
  read_output_until(executor, "y\ny\n");
  control(executor, "run.pause");
  // What was read before the pause drains; then nothing more comes.
  ASSERT_TRUE(eventually([&] {
    if (executor.quiet_for(500ms)) return true;
    executor.read_line();
    return false;
  }));
  EXPECT_TRUE(executor.quiet_for(500ms));
  control(executor, "run.resume");
  read_output_until(executor, "y\ny\n");
  control(executor, "run.signal", {{"signal", "SIGHUP"}});
  const json stopped = exit_event(executor);
  EXPECT_EQ(stopped.value("exit_code", 0), 1);
  EXPECT_EQ(stopped.value("signal", ""), "HUP");

  executor.send_line(pipeline_request("r1", {{"printf", "\\351\\377"}, {"cat"}},
                                      {{"stream", true}, {"raw_output", true}}));
  EXPECT_EQ(raw_bytes(executor.read_until("\"type\":\"exit\"")), "\xe9\xff");

  executor.send_line(
      pipeline_request("r1", {{"sleep", "1000"}, {"sleep", "1000"}}, {{"terminal", true}}));
  executor.read_until("\"type\":\"started\"");
  control(executor, "run.signal", {{"signal", "INT"}});
  const json interrupted = exit_event(executor);
  EXPECT_EQ(interrupted.value("exit_code", 0), 130);
  EXPECT_EQ(interrupted.value("signal", ""), "INT");
  executor.send_line(
      pipeline_request("r1", {{"true"}, {"sh", "-c", "exit 130"}}, {{"terminal", true}}));
  const json exited = exit_event(executor);
  EXPECT_EQ(exited.value("exit_code", 0), 130);
  EXPECT_FALSE(exited.contains("signal")) << exited.dump();
}

#if defined(__linux__) && !defined(ZELTA_PORTABLE_FALLBACKS)
TEST(ExtensionsE2E, ForegroundFollowsVimUnderInteractiveBash) {
  ExecutorProcess executor;
  start(executor, "bash", {"--norc", "--noprofile", "-i"},
        {{"cwd", "/usr"}, {"env", {{"HISTFILE", "/dev/null"}}}});
  control(executor, "stdin.write", {{"data", "echo re''ady\r"}});
  read_output_until(executor, "ready\r\n");
  json shell = foreground(executor);
  EXPECT_EQ(shell.value("name", ""), "bash");
  EXPECT_EQ(shell.value("cwd", ""), "/usr");
  control(executor, "stdin.write", {{"data", "cd /etc && vim -u NONE -i NONE -n\r"}});
  json vim;
  EXPECT_TRUE(eventually(
      [&] {
        vim = foreground(executor);
        return vim.value("name", "") == "vim";
      },
      20s));
  EXPECT_EQ(vim.value("cwd", ""), "/etc");
  EXPECT_NE(vim.value("pid", 0), shell.value("pid", 0));
  control(executor, "stdin.write", {{"data", "\u001b:q!\r"}});
  json back;
  EXPECT_TRUE(eventually(
      [&] {
        back = foreground(executor);
        return back.value("name", "") == "bash";
      },
      20s));
  EXPECT_EQ(back.value("pid", 0), shell.value("pid", 0));
  EXPECT_EQ(back.value("cwd", ""), "/etc");
  control(executor, "run.signal", {{"signal", "KILL"}});
  exit_event(executor);
}
#else
// The portable fallback knows the foreground group's id only.
TEST(ExtensionsE2E, ForegroundIsTheGroupIdInThePortableBuild) {
  ExecutorProcess executor;
  const pid_t child = start(executor, "sh", {"-c", "echo ready; sleep 30"});
  read_output_until(executor, "ready");
  EXPECT_EQ(foreground(executor).dump(),
            R"({"pid":)" + std::to_string(child) + R"(,"run_id":"r1","type":"foreground"})");
  control(executor, "run.signal", {{"signal", "KILL"}});
  exit_event(executor);
}
#endif

TEST(ExtensionsE2E, RequestEnvironmentWinsAndCanStartClean) {
  ExecutorProcess executor;
  say_hello(executor);
  executor.send_line(
      command_request("r1", "/usr/bin/env", {}, json::array(),
                      {{"env", {{"TERM", "vt100"}, {"FOO", "bar"}}}, {"env_clear", true}}));
  EXPECT_EQ(read_run(executor).stdout_text, "FOO=bar\r\nTERM=vt100\r\n");
  // The shell defaults are added where the request did not name them.
  executor.send_line(command_request("r2", "sh", {"-c", "exec /usr/bin/env"}, json::array(),
                                     {{"env", {{"FOO", "bar"}}}, {"env_clear", true}}));
  std::set<std::string> names;
  std::string text = read_run(executor).stdout_text;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    names.insert(text.substr(at, text.find('=', at) - at));
    at = end == std::string::npos ? text.size() : end + 2;
  }
  names.erase("PWD");  // the shell's own
  EXPECT_EQ(names, (std::set<std::string>{"BASH_ENV", "FOO", "TERM"}));
  // Without env_clear the executor's environment is still the base.
  executor.send_line(command_request("r3", "bash", {"-c", "echo $TERM $BASH_ENV ${PATH:+path}"},
                                     json::array(), {{"env", {{"TERM", "vt100"}}}}));
  EXPECT_EQ(read_run(executor).stdout_text, "vt100 /dev/null path\r\n");
}

// What the test reads from a terminal master until `needle` has come (or,
// with no needle, until reading fails with EIO: nothing holds the other side).
std::string read_terminal(int master, const std::string& needle = "") {
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + kLineTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!needle.empty() && seen.find(needle) != std::string::npos) break;
    pollfd entry = {master, POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && errno == EIO) break;
  }
  return seen;
}

TEST(ExtensionsE2E, TerminalTheFrontEndOpenedIsReadByTheFrontEnd) {
  const int master_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const int file_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const std::shared_ptr<void> closed(nullptr, [&](void*) {
    ::close(master_fd);
    ::close(file_fd);
  });
  ASSERT_TRUE(master_fd >= 0 && file_fd >= 0);
  ExecutorOptions options;
  options.handed_down = {master_fd, file_fd};  // the executor's 3 and 4
  ExecutorProcess executor(options);
  say_hello(executor);
  const auto fails = [&](const std::string& line, const std::string& error) {
    executor.send_line(line);
    EXPECT_EQ(executor.next_line(), R"({"msg_type":"run.ast","run_id":"r1","type":"recv"})");
    EXPECT_EQ(json::parse(executor.next_line()).value("error", ""), error) << line;
  };
  // Standard streams, the executor's own descriptors (close-on-exec), ones
  // not open and ones that are no master are refused and left open.
  for (int fd : {0, 2, 4, 5, 99}) {
    fails(command_request("r1", "true", {}, json::array(), {{"terminal_fd", fd}}),
          "Invalid terminal_fd");
  }
  fails(pipeline_request("r1", {{"true"}, {"true"}}, {{"terminal", true}, {"terminal_fd", 3}}),
        "terminal_fd needs a single command");
  const auto open_fds = executor.open_fds();
  EXPECT_TRUE(std::any_of(open_fds.begin(), open_fds.end(),
                          [](const std::string& fd) { return fd == "4 -> /dev/null"; }));

  // The size is set, bytes come out exactly, typed input goes straight in,
  // and the executor sends no output events of its own.
  const pid_t child =
      start(executor, "sh", {"-c", R"(stty size; read line; printf "\377\000$line"; exit 3)"},
            {{"terminal_fd", 3}, {"rows", 30}, {"cols", 100}});
  EXPECT_GT(child, 0);
  EXPECT_EQ(read_terminal(master_fd, "\r\n"), "30 100\r\n");
  ASSERT_EQ(::write(master_fd, "typed\n", 6), 6);
  // "exit" waits while the terminal holds output the front end has not read.
  EXPECT_TRUE(executor.quiet_for(500ms));
  EXPECT_EQ(read_terminal(master_fd), std::string("typed\r\n\377\000typed", 14));
  const auto lines = executor.read_until("\"type\":\"exit\"");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(json::parse(lines[0]).value("exit_code", -1), 3);

  // The terminal was the run's: closed at its end, of no use to another.
  const auto after = executor.open_fds();
  EXPECT_FALSE(std::any_of(after.begin(), after.end(),
                           [](const std::string& fd) { return fd.rfind("3 ->", 0) == 0; }));
  fails(command_request("r1", "true", {}, json::array(), {{"terminal_fd", 3}}),
        "Invalid terminal_fd");
}

}  // namespace
}  // namespace zelta::testing
