// The launch trace: one line on standard error per single-command launch when
// ZELTA_STDIO_DEBUG_REDIRECTS is "1".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/request.h"

namespace zelta {

/// "[zelta-stdio] command=<command> args=[...] redirects=[...]\n". Strings in
/// the lists are quoted with \" \\ \n \r \t \0 escapes; other control, format
/// and combining characters become \u{hex}. A redirect is
/// `Redirect { fd: None|Some(N), kind: <Kind>, file: "<text>" }`.
std::string format_launch_trace(std::string_view command, const std::vector<std::string>& args,
                                const std::vector<Redirect>& redirects);

/// `text` in the trace's string notation, quotes included.
std::string trace_quote(std::string_view text);

/// Writes the trace line to descriptor 2 when the executor's environment has
/// ZELTA_STDIO_DEBUG_REDIRECTS set to exactly "1"; otherwise does nothing.
void trace_launch(std::string_view command, const std::vector<std::string>& args,
                  const std::vector<Redirect>& redirects);

}  // namespace zelta
