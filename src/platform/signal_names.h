// The names of the system's signals, as "run.signal" and "exit" spell them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelta {

/// The signal named `name`, with or without the "SIG" prefix, exactly as the
/// system spells it (upper case: "HUP", "SIGUSR1", "RTMIN+2"); nullopt for a
/// name this system has no signal for. Aliases ("IOT", "CLD", "POLL") are
/// accepted where the system has them.
std::optional<int> signal_from_name(std::string_view name);

/// The name of signal `number` without "SIG" ("INT", "RTMAX-3"); empty for a
/// number that is no signal of this system.
std::string signal_name(int number);

}  // namespace zelta
