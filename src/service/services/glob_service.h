// The "glob" request.
#pragma once

#include "protocol/messages.h"
#include "protocol/request.h"

namespace zelta {

/// Serves a "glob" request with exactly one reply.
Reply glob_service(const Request& request);

}  // namespace zelta
