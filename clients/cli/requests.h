// The request lines the client sends to the executor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "clients/cli/syntax_tree.h"

namespace zelta::client {

/// Size of the user's terminal in character cells.
struct WindowSize {
  std::uint16_t rows = 0;
  std::uint16_t cols = 0;
};

/// How a pipeline is asked to run.
enum class PipelineMode {
  kDefault,   // no key: collected output
  kStream,    // "stream":true: output as it arrives
  kTerminal,  // "terminal":true: the members on one terminal, as a foreground job
};

/// {"type":"run.ast","run_id":..,"cwd":..,"rows":..,"cols":..,"ast":tree}; "cwd"
/// is left out when empty, "rows"/"cols" when `size` is absent; "stream":true or
/// "terminal":true follow "cols" as `pipeline` says.
Json run_ast_request(const std::string& run_id, Json tree, const std::string& cwd,
                     std::optional<WindowSize> size,
                     PipelineMode pipeline = PipelineMode::kDefault);

/// {"type":"hello","extensions":["concurrent"]}: asks which extensions there are and
/// switches on running several commands at once.
Json concurrent_hello_request();

/// {"type":"stdin.write","run_id":..,"data":..}: `data` is typed into the run's terminal.
Json stdin_write_request(const std::string& run_id, std::string_view data);

/// {"type":"run.signal","run_id":..,"signal":"INT"|"TERM"|"KILL"}.
Json run_signal_request(const std::string& run_id, std::string_view signal);

/// {"type":"run.resize","run_id":..,"rows":..,"cols":..}: the run's terminal gets `size`.
Json run_resize_request(const std::string& run_id, WindowSize size);

/// The compact one-line text of `message`, without the line feed. Bytes that are
/// not UTF-8 are sent as U+FFFD, since every text on the wire is UTF-8.
std::string encode_line(const Json& message);

/// Takes the longest prefix of `pending` that can be sent as text now, leaving in
/// `pending` only the start of a UTF-8 sequence cut off at its end (at most three
/// bytes), so that a character split between two reads is sent whole.
std::string take_sendable(std::string& pending);

}  // namespace zelta::client
