// Splitting of a typed command line into pipeline members, words and redirections.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/result.h"

namespace zelta::client {

/// The redirection operators the client understands: `<`, `>` and `>>`.
enum class RedirectOp { kInput, kOutput, kAppend };

/// One redirection as written: an optional descriptor number directly before the
/// operator ("2>"), the operator and the file name after it.
struct Redirection {
  std::optional<int> fd;
  RedirectOp op = RedirectOp::kOutput;
  std::string target;
  bool operator==(const Redirection&) const = default;
};

/// One word after quote removal.
struct Word {
  std::string text;
  /// True when the word was written wholly inside single quotes ('a b', 'a''b').
  bool single_quoted = false;
  bool operator==(const Word&) const = default;
};

/// One pipeline member: its words (the first is the program) and redirections.
struct SimpleCommand {
  std::vector<Word> words;
  std::vector<Redirection> redirections;
  bool operator==(const SimpleCommand&) const = default;
};

/// The members of a pipeline in order; a single member is a plain command. Empty for
/// a blank line or a comment.
using CommandLine = std::vector<SimpleCommand>;

struct SplitError {
  std::string message;
  /// True when the line stops in the middle of something (a quote, a trailing
  /// backslash or '|') that a following line could complete.
  bool incomplete = false;
};

/// Splits `line` with ordinary shell quoting and no expansion of any kind:
/// - blanks (space, tab) separate words; `#` at the start of a word starts a comment;
/// - '...' keeps everything literally; "..." keeps everything literally except that a
///   backslash escapes `"`, `\`, `$`, `` ` `` and a line feed (backslash + line feed
///   vanishes); outside quotes a backslash makes the next character literal and
///   backslash + line feed vanishes;
/// - `|` separates pipeline members; `<`, `>` and `>>` take the next word as file
///   name, optionally preceded by a descriptor number written directly before them;
/// - `$`, `*`, `?`, `~`, `` ` `` and the like are ordinary characters;
/// - `;`, `&`, `(`, `)`, an unquoted line feed, `||`, `<<`, `<&`, `>&`, `<>`, `>|` and
///   `&>` are refused, since the executor runs exactly one command or one pipeline.
Result<CommandLine, SplitError> split_command_line(std::string_view line);

/// A command line of the interactive mode: one command or pipeline, perhaps to be run
/// in the background.
struct JobLine {
  CommandLine commands;
  /// The line ended with a lone '&' operator (then blanks or a comment at most).
  bool background = false;
  /// Where that '&' stands in the line.
  std::size_t background_at = 0;
};

/// Splits `line` as split_command_line does, except that a '&' ending the line (not
/// "&&", "&>" or a quoted one; written with or without a blank before it, as a shell
/// reads it) asks for a background run. A '&' anywhere else is refused.
Result<JobLine, SplitError> split_job_line(std::string_view line);

}  // namespace zelta::client
