// Test harness: one program run twice side by side in tmux, directly and through
// stdio_client, so that the two screens can be compared at checkpoints.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "scratch_dir.h"
#include "tmux_session.h"

namespace zelta::testing {

/// Two tmux windows of the same size, each with a scratch directory of its own. Files
/// written before `start` are seen by both runs; keys, pastes and resizes go to both
/// windows.
class ScreenPair {
 public:
  ScreenPair(int cols, int rows) : cols_(cols), rows_(rows) {}

  /// Runs `script` with sh in both windows (directly in one, through the built
  /// stdio_client in the other) in the same environment: TERM=xterm-256color, a UTF-8
  /// locale, no start-up files for sh, vim or less. When the script ends each window
  /// writes "[exit N]" with the exit status seen there and stays open.
  void start(const std::string& script);

  /// Runs the command line `line` with sh in the direct window and as stdio_client's
  /// own command line in the other, so a pipeline is split and sent by the client
  /// itself rather than run by a shell. Same environment and "[exit N]" as start().
  void start_line(const std::string& line);

  /// Writes the same file into both scratch directories.
  void write_file(const std::string& name, const std::string& text) const;
  void type(const std::string& text);
  void press(const std::string& key);
  void paste(const std::string& text);
  void resize(int cols, int rows);

  /// A checkpoint: waits until the direct window shows `needle` and has stopped changing,
  /// then until the client's window shows the same snapshot and has stopped changing.
  /// With `history`, the rows scrolled off the top are compared as well. Fails with both
  /// screens when they still differ after a generous time-out.
  ::testing::AssertionResult same_screens(const std::string& needle, bool history = false);

  TmuxSession& direct() { return *direct_; }
  TmuxSession& client() { return *client_; }
  const ScratchDir& direct_dir() const { return direct_dir_; }
  const ScratchDir& client_dir() const { return client_dir_; }

 private:
  int cols_;
  int rows_;
  ScratchDir direct_dir_;
  ScratchDir client_dir_;
  std::unique_ptr<TmuxSession> direct_;
  std::unique_ptr<TmuxSession> client_;
};

/// True when `program` is found on the PATH.
bool have_program(const std::string& program);

}  // namespace zelta::testing
