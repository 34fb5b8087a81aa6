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

  /// Starts `command` (run by sh) in a detached window of `cols` x `rows` cells, without
  /// a status line, keeping 50,000 rows of history.
  TmuxSession(const std::string& command, int cols, int rows);
  ~TmuxSession();
  TmuxSession(const TmuxSession&) = delete;
  TmuxSession& operator=(const TmuxSession&) = delete;

  /// Types `text` literally (no key names).
  void type(const std::string& text);
  /// Presses keys by tmux name, such as "Enter" or "C-c".
  void press(const std::string& key);
  /// Pastes `text` as one paste (through a tmux buffer; line feeds become carriage returns).
  void paste(const std::string& text);
  /// Resizes the window to `cols` x `rows` cells.
  void resize(int cols, int rows);
  /// The visible screen, wrapped lines joined, trailing blanks removed.
  std::string screen();
  /// Everything a viewer could tell apart: the visible rows as drawn (with colours and
  /// attributes as escape sequences), then the cursor position and visibility, whether
  /// the alternate screen is on, and the window size. With `history`, the rows that
  /// scrolled off the top come first.
  std::string snapshot(bool history = false);
  /// Waits until `needle` appears on the screen at least `times` times; the screen
  /// as last seen is stored in `last`. False on time-out (a minute by default: the
  /// programs in the window may be built with a sanitizer, on a busy machine).
  bool wait_for(const std::string& needle, int times = 1,
                std::chrono::milliseconds timeout = std::chrono::seconds(60));
  const std::string& last_screen() const { return last_; }

 private:
  std::string tmux(const std::string& arguments);

  std::string directory_;
  std::string socket_;
  std::string config_;
  std::string buffer_;
  std::string last_;
};

/// `text` quoted for sh: inside single quotes, each ' written as '\''.
std::string sh_quote(const std::string& text);

}  // namespace zelta::testing
