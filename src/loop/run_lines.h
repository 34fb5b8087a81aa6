// The executor's standard input while a run lasts: control lines for the run
// are carried out, every other line is kept for the service loop.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "protocol/request.h"
#include "supervise/keystroke_line.h"

namespace zelta {

/// True for the request types a running run acts on ("stdin.write",
/// "run.signal", "stream.flush", "run.resize", "run.pause", "run.resume",
/// "run.foreground").
bool is_control_type(std::string_view type);

/// What a run does with one line it read.
enum class RunLineUse {
  kDispatch,  // a control request for this run: carry it out
  kDrop,      // a control request for another run, or one that does not decode
  kKeep,      // anything else, lines that are no JSON object too: served after the run
};

/// Classifies one line (with its line feed) read during the run `run_id`;
/// for kDispatch the decoded request is stored in `request`. A line is
/// decoded after leading and trailing Unicode white space is removed; an
/// absent run_id counts as "".
RunLineUse classify_run_line(std::string_view line, std::string_view run_id,
                             std::optional<Request>& request);

/// Hands bytes read from standard input during a run to the service loop,
/// after everything handed over before: lines the run kept and, at the run's
/// end, the start of a line not yet complete.
void carry_input(std::string_view bytes);

/// Takes what runs handed over (in the order it was read), leaving nothing.
std::string take_carried_input();

/// Consumes every complete line of `buffer`; `scanned` is how much of it is
/// known to hold no line feed, and is kept up to date. Lines are handled in
/// order: control requests for `run_id` go to `dispatch` (finished before the
/// next line is looked at), those for another run are dropped, all others are
/// carried to the service loop. The incomplete rest stays in `buffer`. A
/// `dispatch` that also takes a KeystrokeLine gets the plain keystroke lines
/// that way, decoded without building a Request.
template <typename Dispatch>
void serve_run_lines(std::string& buffer, std::size_t& scanned, std::string_view run_id,
                     Dispatch&& dispatch);

/// The position just past the first line feed at or after `from`, or 0 when
/// there is none.
std::size_t next_line_end(const std::string& buffer, std::size_t from);

template <typename Dispatch>
void serve_run_lines(std::string& buffer, std::size_t& scanned, std::string_view run_id,
                     Dispatch&& dispatch) {
  std::size_t start = 0;
  [[maybe_unused]] KeystrokeLine keystroke;
  while (true) {
    const std::size_t end = next_line_end(buffer, start > scanned ? start : scanned);
    if (end == 0) break;
    const std::string_view line(buffer.data() + start, end - start);
    start = end;
    scanned = start;
    if constexpr (std::is_invocable_v<Dispatch, const KeystrokeLine&>) {
      if (match_keystroke_line(line, keystroke)) {
        if (keystroke.run_id == run_id) dispatch(std::as_const(keystroke));
        continue;
      }
    }
    std::optional<Request> request;
    switch (classify_run_line(line, run_id, request)) {
      case RunLineUse::kDispatch:
        dispatch(*request);
        break;
      case RunLineUse::kKeep:
        carry_input(line);
        break;
      case RunLineUse::kDrop:
        break;
    }
  }
  buffer.erase(0, start);
  scanned = buffer.size();
}

}  // namespace zelta
