// Runs one script directly and through stdio_client in tmux and compares the screens.
#include "screen_pair.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

#include "client_runner.h"

namespace zelta::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A window counts as still when this many snapshots in a row, a poll interval apart,
// are equal: long enough not to mistake a pause within one redraw for its end.
constexpr int kStillPolls = 6;
constexpr auto kPollInterval = std::chrono::milliseconds(100);

// How long one checkpoint may take: a minute, or ZELTA_SCREEN_TIMEOUT seconds (a shorter
// wait shows a difference sooner while working on a case).
std::chrono::seconds checkpoint_timeout() {
  const char* seconds = std::getenv("ZELTA_SCREEN_TIMEOUT");
  return std::chrono::seconds(seconds != nullptr && std::atoi(seconds) > 0 ? std::atoi(seconds)
                                                                           : 60);
}

std::string framed(const std::string& directory, const std::string& run) {
  return "cd " + sh_quote(directory) +
         " && unset ENV MAIL MAILPATH VIMINIT EXINIT LESSOPEN LESSCLOSE LANG LANGUAGE && export "
         "TERM=xterm-256color LC_ALL=C.UTF-8 LESSHISTFILE=- LESS= PS1='$ ' && " +
         run + "; printf '[exit %d]' \"$?\"; exec sleep 3600";
}

// Escape bytes made visible so that a failure message shows the attributes.
std::string printable(const std::string& snapshot) {
  std::string text;
  for (char c : snapshot) text += c == '\x1b' ? std::string("\\e") : std::string(1, c);
  return text;
}

std::vector<std::string> rows_of(const std::string& snapshot) {
  std::vector<std::string> rows;
  std::istringstream in(snapshot);
  for (std::string row; std::getline(in, row);) rows.push_back(row);
  return rows;
}

// The rows that differ (at most 12 of them), each as seen in both windows.
std::string differences(const std::string& direct, const std::string& client) {
  const std::vector<std::string> a = rows_of(direct), b = rows_of(client);
  std::ostringstream text;
  text << a.size() << " rows direct, " << b.size() << " through stdio_client\n";
  int shown = 0;
  for (std::size_t i = 0; i < std::max(a.size(), b.size()) && shown < 12; ++i) {
    const std::string none = "(none)";
    const std::string& x = i < a.size() ? a[i] : none;
    const std::string& y = i < b.size() ? b[i] : none;
    if (x == y) continue;
    ++shown;
    text << "row " << i << "\n  direct: " << printable(x) << "\n  client: " << printable(y) << "\n";
  }
  return text.str();
}

// The last `count` rows of `snapshot`.
std::string tail(const std::string& snapshot, std::size_t count) {
  const std::vector<std::string> rows = rows_of(snapshot);
  std::string text;
  for (std::size_t i = rows.size() > count ? rows.size() - count : 0; i < rows.size(); ++i) {
    text += printable(rows[i]) + "\n";
  }
  return text;
}

// `snapshot` without its escape sequences (CSI sequences, or ESC and one more byte).
std::string plain(const std::string& snapshot) {
  std::string text;
  for (std::size_t i = 0; i < snapshot.size(); ++i) {
    if (snapshot[i] != '\x1b') {
      text += snapshot[i];
    } else if (i + 1 < snapshot.size() && snapshot[i + 1] == '[') {
      for (i += 2; i < snapshot.size() && !(snapshot[i] >= '@' && snapshot[i] <= '~');) ++i;
    } else {
      ++i;
    }
  }
  return text;
}

}  // namespace

bool have_program(const std::string& program) {
  return std::system(("command -v " + sh_quote(program) + " >/dev/null 2>&1").c_str()) == 0;
}

void ScreenPair::start(const std::string& script) {
  const std::string run = "sh -c " + sh_quote(script);
  direct_ = std::make_unique<TmuxSession>(framed(direct_dir_.path, run), cols_, rows_);
  client_ = std::make_unique<TmuxSession>(
      framed(client_dir_.path, sh_quote(client_path()) + " " + sh_quote(run)), cols_, rows_);
}

void ScreenPair::start_line(const std::string& line) {
  // The window's own shell shares the foreground group with the line's: a trap
  // keeps it alive through a typed Ctrl-C, so it can report the line's status.
  direct_ = std::make_unique<TmuxSession>(
      framed(direct_dir_.path, "trap : INT; sh -c " + sh_quote(line)), cols_, rows_);
  client_ = std::make_unique<TmuxSession>(
      framed(client_dir_.path, sh_quote(client_path()) + " " + sh_quote(line)), cols_, rows_);
}

void ScreenPair::write_file(const std::string& name, const std::string& text) const {
  direct_dir_.write_file(name, text);
  client_dir_.write_file(name, text);
}

void ScreenPair::type(const std::string& text) {
  direct_->type(text);
  client_->type(text);
}

void ScreenPair::press(const std::string& key) {
  direct_->press(key);
  client_->press(key);
}

void ScreenPair::paste(const std::string& text) {
  direct_->paste(text);
  client_->paste(text);
}

void ScreenPair::resize(int cols, int rows) {
  direct_->resize(cols, rows);
  client_->resize(cols, rows);
}

::testing::AssertionResult ScreenPair::same_screens(const std::string& needle, bool history) {
  // Both windows are polled until they show the needle and the same snapshot several
  // polls in a row: a window caught in the middle of a redraw only delays the match.
  const auto deadline = Clock::now() + checkpoint_timeout();
  std::string direct, client, previous;
  for (int same = 0; Clock::now() < deadline;) {
    direct = direct_->snapshot(history);
    client = client_->snapshot(history);
    const bool match =
        direct == client && direct == previous && plain(direct).find(needle) != std::string::npos;
    same = match ? same + 1 : 0;
    if (same + 1 >= kStillPolls) return ::testing::AssertionSuccess();
    previous = direct;
    std::this_thread::sleep_for(kPollInterval);
  }
  if (plain(direct).find(needle) == std::string::npos) {
    return ::testing::AssertionFailure()
           << "the direct window never showed \"" << needle << "\"; it ends with:\n"
           << tail(direct, 40);
  }
  return ::testing::AssertionFailure()
         << "screens differ at \"" << needle << "\": " << differences(direct, client);
}

}  // namespace zelta::testing
