// An idle service loop whose descriptor 0 is non-blocking waits without cost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "protocol/output.h"
#include "service/service_loop.h"

namespace zelta {
namespace {

using namespace std::chrono_literals;

// Reads one line from `fd`, waiting up to 20 s; empty on time-out or end.
std::string read_reply(int fd) {
  std::string line;
  char byte;
  while (true) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 20000) <= 0) return "";
    if (::read(fd, &byte, 1) != 1) return "";
    if (byte == '\n') return line;
    line.push_back(byte);
  }
}

void send(int fd, std::string_view text) {
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// Kills and reaps the child if the test leaves before reaping it.
struct ChildGuard {
  pid_t pid;
  ~ChildGuard() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
};

// Reaps `pid` with its resource usage, waiting at most 20 s.
bool reap(pid_t pid, int& status, rusage& usage) {
  for (int i = 0; i < 2000; ++i) {
    const pid_t reaped = ::wait4(pid, &status, WNOHANG, &usage);
    if (reaped == pid) return true;
    if (reaped < 0) return false;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

TEST(ServiceLoopIdle, NonBlockingStdinIsWaitedOnNotPolled) {
  int in[2];
  int out[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // As a terminal run leaves it: descriptor 0 non-blocking.
    ::dup2(in[0], 0);
    ::close(in[1]);  // else input never ends
    ::close(out[0]);
    ::fcntl(0, F_SETFL, ::fcntl(0, F_GETFL) | O_NONBLOCK);
    set_output_fd_for_testing(out[1]);
    run_service_loop();
    ::_exit(0);
  }
  ChildGuard guard{pid};
  ::close(in[0]);
  ::close(out[1]);

  send(in[1], "{\"type\":\"before\"}\n");
  EXPECT_EQ(read_reply(out[0]), R"({"exit_code":1,"error":"Unknown: before"})");
  std::this_thread::sleep_for(2s);
  // Still serving after idling on the non-blocking descriptor.
  send(in[1], "{\"type\":\"after\"}\n");
  EXPECT_EQ(read_reply(out[0]), R"({"exit_code":1,"error":"Unknown: after"})");
  ::close(in[1]);
  EXPECT_EQ(read_reply(out[0]), "");  // end of input ends the loop silently

  int status = 0;
  rusage usage{};
  ASSERT_TRUE(reap(pid, status, usage));
  guard.pid = 0;
  ::close(out[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const double cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  std::cout << "idle loop over 2 s: " << cpu * 1000 << " ms CPU, " << usage.ru_nvcsw
            << " voluntary context switches\n";
  // Waking once a millisecond would show up as about two thousand switches;
  // spinning as about two seconds of CPU.
  EXPECT_LT(cpu, 0.2);
  EXPECT_LT(usage.ru_nvcsw, 100);
}

}  // namespace
}  // namespace zelta
