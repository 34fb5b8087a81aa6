// The "read_file" request.
#pragma once

#include "protocol/messages.h"
#include "protocol/request.h"

namespace zelta {

/// Serves a "read_file" request with exactly one reply.
Reply read_file_service(const Request& request);

}  // namespace zelta
