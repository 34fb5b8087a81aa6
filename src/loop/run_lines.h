// Lines read while runs are live: which are control requests for a run,
// which are dropped, and which are requests of their own.
#pragma once

#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "loop/keystroke_line.h"
#include "protocol/request.h"

namespace zelta {

/// True for the request types a running run acts on ("stdin.write",
/// "run.signal", "stream.flush", "run.resize", "run.pause", "run.resume",
/// "run.foreground").
bool is_control_type(std::string_view type);

/// What becomes of one line read during a run.
enum class RunLineUse {
  kDispatch,  // a control request for this run: carry it out
  kDrop,      // a control request for another run, or one that does not decode
  kKeep,      // anything else, lines that are no JSON object too: served after the run
};

/// Classifies one line (with or without its line feed) read during the run
/// `run_id`; for kDispatch the decoded request is stored in `request`. A
/// line is decoded after leading and trailing Unicode white space is
/// removed; an absent run_id counts as "".
RunLineUse classify_run_line(std::string_view line, std::string_view run_id,
                             std::optional<Request>& request);

/// True when `line` is a JSON object whose "type" names a control request,
/// though it did not decode as one (a value out of range or of the wrong
/// type): such a line was meant for a run and is dropped like any other
/// control request that cannot be carried out.
bool is_undecodable_control_request(std::string_view line);

/// Handles one line read while the run `run_id` is the only one live: a
/// control request for it goes to `dispatch` (a plain keystroke line as a
/// KeystrokeLine, decoded without building a Request, when `dispatch` takes
/// one), one for another run is dropped, and kKeep is returned for every
/// line to be served after the run.
template <typename Dispatch>
RunLineUse route_run_line(std::string_view line, std::string_view run_id, Dispatch&& dispatch) {
  if constexpr (std::is_invocable_v<Dispatch, const KeystrokeLine&>) {
    KeystrokeLine keystroke;
    if (match_keystroke_line(line, keystroke)) {
      if (keystroke.run_id == run_id) dispatch(std::as_const(keystroke));
      return keystroke.run_id == run_id ? RunLineUse::kDispatch : RunLineUse::kDrop;
    }
  }
  std::optional<Request> request;
  const RunLineUse use = classify_run_line(line, run_id, request);
  if (use == RunLineUse::kDispatch) dispatch(std::as_const(*request));
  return use;
}

}  // namespace zelta
