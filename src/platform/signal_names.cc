#include "platform/signal_names.h"

#include <signal.h>

#include <array>
#include <charconv>

namespace zelta {
namespace {

struct NamedSignal {
  std::string_view name;
  int number;
};

// Each number's own name comes before its aliases, so a number is named by
// its first entry.
constexpr NamedSignal kSignals[] = {
    {"HUP", SIGHUP},       {"INT", SIGINT},       {"QUIT", SIGQUIT}, {"ILL", SIGILL},
    {"TRAP", SIGTRAP},     {"ABRT", SIGABRT},     {"BUS", SIGBUS},   {"FPE", SIGFPE},
    {"KILL", SIGKILL},     {"USR1", SIGUSR1},     {"SEGV", SIGSEGV}, {"USR2", SIGUSR2},
    {"PIPE", SIGPIPE},     {"ALRM", SIGALRM},     {"TERM", SIGTERM},
#ifdef SIGSTKFLT
    {"STKFLT", SIGSTKFLT},
#endif
    {"CHLD", SIGCHLD},     {"CONT", SIGCONT},     {"STOP", SIGSTOP}, {"TSTP", SIGTSTP},
    {"TTIN", SIGTTIN},     {"TTOU", SIGTTOU},     {"URG", SIGURG},   {"XCPU", SIGXCPU},
    {"XFSZ", SIGXFSZ},     {"VTALRM", SIGVTALRM}, {"PROF", SIGPROF}, {"WINCH", SIGWINCH},
#ifdef SIGIO
    {"IO", SIGIO},
#endif
#ifdef SIGPWR
    {"PWR", SIGPWR},
#endif
    {"SYS", SIGSYS},
#ifdef SIGEMT
    {"EMT", SIGEMT},
#endif
#ifdef SIGINFO
    {"INFO", SIGINFO},
#endif
    {"IOT", SIGABRT},
#ifdef SIGCLD
    {"CLD", SIGCLD},
#endif
#ifdef SIGPOLL
    {"POLL", SIGPOLL},
#endif
};

#ifdef SIGRTMIN
// "RTMIN", "RTMIN+n", "RTMAX", "RTMAX-n": the real-time signals, counted
// from either end as the system's own tools name them.
std::optional<int> real_time_signal(std::string_view name) {
  const bool from_min = name.substr(0, 5) == "RTMIN";
  if (!from_min && name.substr(0, 5) != "RTMAX") return std::nullopt;
  std::string_view rest = name.substr(5);
  int offset = 0;
  if (!rest.empty()) {
    if (rest[0] != (from_min ? '+' : '-') || rest.size() < 2 || rest[1] == '0') {
      return std::nullopt;
    }
    auto parsed = std::from_chars(rest.data() + 1, rest.data() + rest.size(), offset);
    if (parsed.ec != std::errc() || parsed.ptr != rest.data() + rest.size()) return std::nullopt;
  }
  const int number = from_min ? SIGRTMIN + offset : SIGRTMAX - offset;
  if (number < SIGRTMIN || number > SIGRTMAX) return std::nullopt;
  return number;
}
#endif

}  // namespace

std::optional<int> signal_from_name(std::string_view name) {
  if (name.substr(0, 3) == "SIG") name.remove_prefix(3);
  for (const NamedSignal& entry : kSignals) {
    if (entry.name == name) return entry.number;
  }
#ifdef SIGRTMIN
  return real_time_signal(name);
#else
  return std::nullopt;
#endif
}

std::string signal_name(int number) {
  for (const NamedSignal& entry : kSignals) {
    if (entry.number == number) return std::string(entry.name);
  }
#ifdef SIGRTMIN
  if (number == SIGRTMIN) return "RTMIN";
  if (number == SIGRTMAX) return "RTMAX";
  if (number > SIGRTMIN && number < SIGRTMAX) {
    // As the system's tools do: the lower half from RTMIN, the upper from RTMAX.
    if (number - SIGRTMIN <= SIGRTMAX - number) {
      return "RTMIN+" + std::to_string(number - SIGRTMIN);
    }
    return "RTMAX-" + std::to_string(SIGRTMAX - number);
  }
#endif
  return {};
}

}  // namespace zelta
