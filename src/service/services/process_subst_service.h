// The "process_subst" request.
#pragma once

#include "protocol/messages.h"
#include "protocol/request.h"

namespace zelta {

/// Serves a "process_subst" request with exactly one reply.
Reply process_subst_service(const Request& request);

}  // namespace zelta
