#include "service/services/process_subst_service.h"

namespace zelta {

// Placeholder until the service exists.
Reply process_subst_service(const Request&) { return error_reply("Unknown: process_subst"); }

}  // namespace zelta
