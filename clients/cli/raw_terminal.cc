// Raw terminal mode with restoration on destruction and on crash signals.
#include "clients/cli/raw_terminal.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace zelta::client {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// Read by the crash handler, so plain data set before the handlers are installed.
int g_fd = -1;
termios g_saved{};
volatile sig_atomic_t g_active = 0;
struct sigaction g_previous[sizeof(kCrashSignals) / sizeof(int)];

void restore_modes() {
  // tcsetattr is async-signal-safe; retried when a signal interrupts it.
  while (tcsetattr(g_fd, TCSANOW, &g_saved) != 0 && errno == EINTR) {
  }
}

void on_crash(int signal_number) {
  if (g_active) restore_modes();
  g_active = 0;
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

std::unique_ptr<RawTerminal> RawTerminal::enter(int fd) {
  if (g_active || !isatty(fd) || tcgetattr(fd, &g_saved) != 0) return nullptr;
  termios raw = g_saved;
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  g_fd = fd;
  struct sigaction action {};
  action.sa_handler = on_crash;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
    sigaction(kCrashSignals[i], &action, &g_previous[i]);
  }
  g_active = 1;
  if (tcsetattr(fd, TCSANOW, &raw) != 0) {
    g_active = 0;
    for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
      sigaction(kCrashSignals[i], &g_previous[i], nullptr);
    }
    return nullptr;
  }
  return std::unique_ptr<RawTerminal>(new RawTerminal());
}

RawTerminal::~RawTerminal() {
  restore_modes();
  g_active = 0;
  for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
    sigaction(kCrashSignals[i], &g_previous[i], nullptr);
  }
}

bool RawTerminal::active() { return g_active != 0; }

}  // namespace zelta::client
