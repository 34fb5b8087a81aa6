// The main loop: read request lines, decode, dispatch, answer.
#pragma once

#include <string_view>

#include "protocol/request.h"

namespace zelta {

/// Serves requests from descriptor 0 until its end of file, an invalid UTF-8
/// line, a read error, or a failed write to standard output.
void run_service_loop();

/// Serves one line of input (without its line feed): decode, acknowledge,
/// dispatch and answer. With `more_waiting` (further complete lines are
/// already read), a reply that needed no system work may stay in the output
/// buffer; otherwise everything written so far is handed over.
void serve_line(std::string_view line, bool more_waiting = false);

}  // namespace zelta
