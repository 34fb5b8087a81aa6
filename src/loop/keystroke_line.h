// The line a front end sends for each keystroke, recognised without the
// general request decoder: typing is the one request that comes many times a
// second while a run lasts.
#pragma once

#include <string>
#include <string_view>

namespace zelta {

/// What a keystroke line asks for: `data` typed on the terminal of `run_id`.
struct KeystrokeLine {
  std::string_view run_id;  // within the line
  std::string data;         // unescaped
};

/// Recognises `line` (with or without its line feed) when it is a
/// "stdin.write" request in the plain form: one JSON object with exactly the
/// members "type", "run_id" and "data" in any order, each a string, the whole
/// line ASCII (characters beyond it only as \u escapes), JSON white space
/// around the tokens, and no escape in "type" or "run_id". Fills `out` and
/// returns true; returns false for any other line, which the general decoder
/// must then read. A line recognised here means exactly what the general
/// decoder makes of it.
bool match_keystroke_line(std::string_view line, KeystrokeLine& out);

}  // namespace zelta
