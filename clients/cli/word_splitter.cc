// Splitting of a typed command line: a single left-to-right pass over the bytes.
#include "clients/cli/word_splitter.h"

#include <climits>
#include <utility>

namespace zelta::client {
namespace {

const char* op_text(RedirectOp op) {
  switch (op) {
    case RedirectOp::kInput:
      return "<";
    case RedirectOp::kOutput:
      return ">";
    case RedirectOp::kAppend:
      return ">>";
  }
  return "?";
}

class Splitter {
 public:
  Splitter(std::string_view line, bool allow_background)
      : line_(line), allow_background_(allow_background) {}

  bool background() const { return background_; }
  std::size_t background_at() const { return background_at_; }

  Result<CommandLine, SplitError> run() {
    while (pos_ < line_.size() && !error_) step();
    if (error_) return Failure<SplitError>{std::move(*error_)};
    finish_word();
    if (pending_)
      return refuse(std::string("missing file name after '") + op_text(pending_->op) + "'");
    if (current_.words.empty() && current_.redirections.empty()) {
      if (after_pipe_) return Failure<SplitError>{{"line ends with '|'", true}};
      return std::move(commands_);
    }
    if (current_.words.empty()) return refuse("missing command");
    commands_.push_back(std::move(current_));
    return std::move(commands_);
  }

 private:
  struct PendingRedirect {
    std::optional<int> fd;
    RedirectOp op;
  };

  Failure<SplitError> refuse(std::string message) { return {{std::move(message), false}}; }
  void fail_with(std::string message, bool incomplete = false) {
    error_ = SplitError{std::move(message), incomplete};
  }
  char peek(std::size_t ahead = 1) const {
    return pos_ + ahead < line_.size() ? line_[pos_ + ahead] : '\0';
  }
  bool at_end(std::size_t ahead = 1) const { return pos_ + ahead >= line_.size(); }

  void start_word() {
    in_word_ = true;
    after_pipe_ = false;
  }
  void literal(char c, bool single_quoted) {
    start_word();
    word_ += c;
    (single_quoted ? has_single_ : has_other_) = true;
    if (single_quoted || c < '0' || c > '9') plain_digits_ = false;
  }

  void finish_word() {
    if (!in_word_) return;
    Word word{std::move(word_), has_single_ && !has_other_};
    if (pending_) {
      current_.redirections.push_back({pending_->fd, pending_->op, std::move(word.text)});
      pending_.reset();
    } else {
      current_.words.push_back(std::move(word));
    }
    word_.clear();
    in_word_ = has_single_ = has_other_ = false;
    plain_digits_ = true;
  }

  void step() {
    const char c = line_[pos_];
    switch (c) {
      case ' ':
      case '\t':
        finish_word();
        ++pos_;
        return;
      case '\n':
        finish_word();
        // A line feed may only continue a line that ended with '|'.
        if (!(after_pipe_ && current_.words.empty() && current_.redirections.empty())) {
          return fail_with("a line feed between commands is not supported");
        }
        ++pos_;
        return;
      case '\'':
        return single_quoted();
      case '"':
        return double_quoted();
      case '\\':
        return backslash();
      case '|':
        return pipe();
      case '<':
      case '>':
        return redirect(c);
      case ';':
      case '&':
      case '(':
      case ')':
        if (c == '&' && peek() == '>') return fail_with("'&>' is not supported");
        if (c == '&' && allow_background_) return ampersand();
        return fail_with(std::string("'") + c +
                         "' is not supported: the executor runs one command or one pipeline "
                         "(quote it to pass it literally)");
      case '#':
        if (!in_word_) {
          pos_ = line_.size();  // a comment runs to the end of the line
          return;
        }
        [[fallthrough]];
      default:
        literal(c, false);
        ++pos_;
    }
  }

  void single_quoted() {
    const std::size_t close = line_.find('\'', pos_ + 1);
    if (close == std::string_view::npos) return fail_with("unterminated single quote", true);
    start_word();
    has_single_ = true;
    plain_digits_ = false;
    word_.append(line_.substr(pos_ + 1, close - pos_ - 1));
    pos_ = close + 1;
  }

  void double_quoted() {
    start_word();
    has_other_ = true;
    plain_digits_ = false;
    ++pos_;
    while (pos_ < line_.size()) {
      const char c = line_[pos_];
      if (c == '"') {
        ++pos_;
        return;
      }
      if (c == '\\' && !at_end()) {
        const char next = peek();
        if (next == '\n') {
          pos_ += 2;
          continue;
        }
        if (next == '"' || next == '\\' || next == '$' || next == '`') {
          word_ += next;
          pos_ += 2;
          continue;
        }
      }
      word_ += c;
      ++pos_;
    }
    fail_with("unterminated double quote", true);
  }

  void backslash() {
    if (at_end()) return fail_with("line ends with a backslash", true);
    if (peek() == '\n') {
      pos_ += 2;  // line continuation
      return;
    }
    start_word();
    has_other_ = true;
    plain_digits_ = false;
    word_ += peek();
    pos_ += 2;
  }

  void pipe() {
    finish_word();
    if (pending_) {
      return fail_with(std::string("missing file name after '") + op_text(pending_->op) + "'");
    }
    if (peek() == '|') return fail_with("'||' is not supported");
    if (current_.words.empty()) return fail_with("missing command before '|'");
    commands_.push_back(std::move(current_));
    current_ = {};
    after_pipe_ = true;
    ++pos_;
  }

  // A '&' that ends the line sends the command to the background.
  void ampersand() {
    if (peek() == '&') return fail_with("'&&' is not supported");
    finish_word();
    if (pending_) {
      return fail_with(std::string("missing file name after '") + op_text(pending_->op) + "'");
    }
    if (current_.words.empty()) return fail_with("missing command before '&'");
    background_ = true;
    background_at_ = pos_;
    for (++pos_; pos_ < line_.size() && (line_[pos_] == ' ' || line_[pos_] == '\t');) ++pos_;
    if (pos_ < line_.size() && line_[pos_] != '#') {
      return fail_with(
          "'&' is supported only at the end of a line: the executor runs one command or one "
          "pipeline (quote it to pass it literally)");
    }
    pos_ = line_.size();
  }

  void redirect(char c) {
    std::optional<int> fd;
    if (in_word_ && plain_digits_) {
      // Digits written directly before the operator name the descriptor.
      long long number = 0;
      for (char d : word_) {
        number = number * 10 + (d - '0');
        if (number > INT_MAX) return fail_with("descriptor number " + word_ + " is too large");
      }
      fd = static_cast<int>(number);
      word_.clear();
      in_word_ = has_single_ = has_other_ = false;
      plain_digits_ = true;
    } else {
      finish_word();
    }
    if (pending_) {
      return fail_with(std::string("missing file name after '") + op_text(pending_->op) + "'");
    }
    const char next = peek();
    RedirectOp op = c == '<' ? RedirectOp::kInput : RedirectOp::kOutput;
    std::size_t length = 1;
    if (c == '>' && next == '>') {
      op = RedirectOp::kAppend;
      length = 2;
    } else if (next == '&' || next == '|' || (c == '<' && (next == '<' || next == '>'))) {
      return fail_with(std::string("'") + c + next +
                       "' is not supported: the redirections are <, > and >>");
    }
    pending_ = PendingRedirect{fd, op};
    after_pipe_ = false;
    pos_ += length;
  }

  std::string_view line_;
  bool allow_background_;
  bool background_ = false;
  std::size_t background_at_ = 0;
  std::size_t pos_ = 0;
  std::optional<SplitError> error_;
  CommandLine commands_;
  SimpleCommand current_;
  std::optional<PendingRedirect> pending_;
  std::string word_;
  bool in_word_ = false;
  bool has_single_ = false;
  bool has_other_ = false;
  bool plain_digits_ = true;
  bool after_pipe_ = false;
};

}  // namespace

Result<CommandLine, SplitError> split_command_line(std::string_view line) {
  return Splitter(line, false).run();
}

Result<JobLine, SplitError> split_job_line(std::string_view line) {
  Splitter splitter(line, true);
  auto commands = splitter.run();
  if (!commands) return Failure<SplitError>{std::move(commands).error()};
  return JobLine{std::move(*commands), splitter.background(), splitter.background_at()};
}

}  // namespace zelta::client
