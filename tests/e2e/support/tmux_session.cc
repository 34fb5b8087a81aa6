#include "tmux_session.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace zelta::testing {
namespace {

std::string capture(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

std::size_t count_of(const std::string& haystack, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

}  // namespace

std::string sh_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool TmuxSession::available() { return std::system("command -v tmux >/dev/null 2>&1") == 0; }

TmuxSession::TmuxSession(const std::string& command, int cols, int rows) {
  char directory[] = "/tmp/zelta-tmux-XXXXXX";
  if (mkdtemp(directory) != nullptr) directory_ = directory;
  socket_ = directory_ + "/socket";
  config_ = directory_ + "/tmux.conf";
  buffer_ = directory_ + "/paste";
  // No user configuration, and a window exactly of the requested size.
  std::ofstream(config_) << "set-option -g status off\nset-option -g history-limit 50000\n";
  tmux("-f " + sh_quote(config_) + " new-session -d -s test -x " + std::to_string(cols) + " -y " +
       std::to_string(rows) + " " + sh_quote(command));
}

TmuxSession::~TmuxSession() {
  tmux("kill-server");
  for (const std::string* file : {&socket_, &config_, &buffer_}) std::remove(file->c_str());
  if (!directory_.empty()) rmdir(directory_.c_str());
}

std::string TmuxSession::tmux(const std::string& arguments) {
  return capture("tmux -S " + sh_quote(socket_) + " " + arguments + " 2>/dev/null");
}

void TmuxSession::type(const std::string& text) { tmux("send-keys -t test -l " + sh_quote(text)); }

void TmuxSession::press(const std::string& key) { tmux("send-keys -t test " + key); }

void TmuxSession::paste(const std::string& text) {
  std::ofstream(buffer_, std::ios::binary) << text;
  tmux("load-buffer -b paste " + sh_quote(buffer_) + " \\; paste-buffer -d -b paste -t test");
}

void TmuxSession::resize(int cols, int rows) {
  tmux("resize-window -t test -x " + std::to_string(cols) + " -y " + std::to_string(rows));
}

std::string TmuxSession::snapshot(bool history) {
  return tmux(std::string("capture-pane -p -e ") + (history ? "-S - " : "") +
              "-t test \\; display-message -p -t test " +
              sh_quote("cursor #{cursor_x},#{cursor_y} shown #{cursor_flag} alternate "
                       "#{alternate_on} size #{pane_width}x#{pane_height}"));
}

std::string TmuxSession::screen() {
  std::string text = tmux("capture-pane -p -J -t test");
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

bool TmuxSession::wait_for(const std::string& needle, int times,
                           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    last_ = screen();
    if (count_of(last_, needle) >= static_cast<std::size_t>(times)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace zelta::testing
