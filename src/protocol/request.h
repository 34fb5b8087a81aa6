// The decoded form of one input line, and the records it carries.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelta {

/// The operator of one redirection, in declaration order.
enum class RedirectKind {
  kInput,
  kOutput,
  kAppend,
  kHereDoc,
  kHereDocDash,
  kHereString,
  kInputDup,
  kOutputDup,
};

/// Wire name of a kind ("Input", "HereDocDash", ...).
std::string_view redirect_kind_name(RedirectKind kind);
/// Kind for a wire name, compared exactly; nullopt for any other text.
std::optional<RedirectKind> redirect_kind_from_name(std::string_view name);

/// One redirection: the descriptor written before the operator (if any), the
/// operator, and its operand (a path, or the text of a here-document).
struct Redirect {
  std::optional<std::int32_t> fd;
  RedirectKind kind = RedirectKind::kInput;
  std::string file;

  bool operator==(const Redirect&) const = default;
};

/// A command word and its arguments: one member of the pipeline form. The
/// member's redirections come from the tree only (the wire form of "commands"
/// has none) and are applied only when the pipeline runs on a terminal.
struct PipelineCommand {
  std::string command;
  std::vector<std::string> args;
  std::vector<Redirect> redirects;

  bool operator==(const PipelineCommand&) const = default;
};

/// Environment entries of a request; a repeated name keeps its last value.
using EnvMap = std::map<std::string, std::string>;

/// One decoded request line. Only `type` is required; every other field is
/// absent unless the line gave it a non-null value.
struct Request {
  std::string type;
  std::optional<std::string> run_id;
  std::optional<std::string> command;
  std::optional<std::vector<std::string>> args;
  std::optional<std::vector<Redirect>> redirects;
  std::optional<std::string> cwd;
  std::optional<EnvMap> env;
  std::optional<std::string> signal;
  std::optional<std::uint64_t> timeout_ms;
  /// The raw syntax tree, undecoded: objects keep their keys in byte order
  /// and a repeated key keeps its last value. Shared so Request stays cheap
  /// to copy; never mutated after decoding.
  std::shared_ptr<const nlohmann::json> ast;
  std::optional<std::string> path;
  std::optional<std::vector<std::string>> patterns;
  std::optional<std::uint16_t> rows;
  std::optional<std::uint16_t> cols;
  std::optional<std::string> data;
  std::optional<std::string> direction;
  std::optional<std::vector<PipelineCommand>> commands;
  std::optional<std::vector<std::string>> operators;
  /// "run.ast" of a pipeline: output as it arrives instead of collected.
  std::optional<bool> stream;
  /// "run.ast" of a pipeline: the members run on one new pseudo-terminal.
  std::optional<bool> terminal;
  /// "hello": the executor-wide extensions to switch on.
  std::optional<std::vector<std::string>> extensions;
  /// "run.ast": start from `env` alone, not the executor's environment
  /// (with the "env" extension on).
  std::optional<bool> env_clear;
  /// "run.ast": output events carry the exact bytes, base64-encoded.
  std::optional<bool> raw_output;
  /// "stdin.write": exact bytes to type, base64-encoded (in place of `data`).
  std::optional<std::string> base64;
  /// "run.ast" of a run on a terminal: a pseudo-terminal master the front
  /// end opened and handed down to the executor, which runs the command on
  /// it and leaves its output and typed input to the front end.
  std::optional<std::int32_t> terminal_fd;
};

}  // namespace zelta
