// The "hello" request: which extensions this executor has.
#pragma once

#include "protocol/messages.h"
#include "protocol/request.h"

namespace zelta {

/// Switches on the executor-wide extensions the request names in
/// `extensions` (unknown names ignored) and replies with every extension
/// this executor has and its version:
/// {"exit_code":0,"extensions":[...],"version":"..."}.
Reply hello_service(const Request& request);

}  // namespace zelta
