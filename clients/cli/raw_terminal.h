// Raw mode of the user's terminal for the length of a terminal run.
#pragma once

#include <memory>

namespace zelta::client {

/// While a RawTerminal lives, the terminal on its descriptor is in raw mode: every
/// keystroke (Ctrl-C included) reaches the client as a byte instead of being edited
/// or turned into a signal. The saved modes come back when it is destroyed, and also
/// when the client dies from a crash signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
/// SIGABRT), whose handlers restore the terminal and re-raise. Termination signals
/// are handled by the client's event loops, which end through the destructor.
class RawTerminal {
 public:
  /// Switches `fd` to raw mode; null, with nothing changed, when `fd` is not a
  /// terminal or its modes cannot be set. At most one may exist at a time.
  static std::unique_ptr<RawTerminal> enter(int fd);
  ~RawTerminal();
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

  /// True while some terminal is in raw mode (line ends must then be written "\r\n").
  static bool active();

 private:
  RawTerminal() = default;
};

}  // namespace zelta::client
