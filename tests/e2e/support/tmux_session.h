// Test harness: a detached tmux session as the real terminal of a program under test.
#pragma once

#include <chrono>
#include <string>

namespace zelta::testing {

/// One tmux server on a private socket (in a temporary directory of its own) with one
/// window running a shell command. The destructor kills the server, and with it
/// everything started in the window, and removes the socket and its directory.
class TmuxSession {
 public:
  /// True when a tmux program can be run.
  static bool available();

  /// Starts `command` (run by sh) in a detached window of `cols` x `rows` cells.
  TmuxSession(const std::string& command, int cols, int rows);
  ~TmuxSession();
  TmuxSession(const TmuxSession&) = delete;
  TmuxSession& operator=(const TmuxSession&) = delete;

  /// Types `text` literally (no key names).
  void type(const std::string& text);
  /// Presses keys by tmux name, such as "Enter" or "C-c".
  void press(const std::string& key);
  /// Resizes the window to `cols` x `rows` cells, as a user dragging its edge.
  void resize(int cols, int rows);
  /// The visible screen, wrapped lines joined, trailing blanks removed.
  std::string screen();
  /// Waits until `needle` appears on the screen at least `times` times; the screen
  /// as last seen is stored in `last`. False on time-out.
  bool wait_for(const std::string& needle, int times = 1,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));
  const std::string& last_screen() const { return last_; }

 private:
  std::string tmux(const std::string& arguments);

  std::string directory_;
  std::string socket_;
  std::string last_;
};

/// `text` quoted for sh: inside single quotes, each ' written as '\''.
std::string sh_quote(const std::string& text);

}  // namespace zelta::testing
