#include "service/services/glob_service.h"

namespace zelta {

// Placeholder until the service exists.
Reply glob_service(const Request&) { return error_reply("Unknown: glob"); }

}  // namespace zelta
