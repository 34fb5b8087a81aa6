#include "service/services/read_file_service.h"

namespace zelta {

// Placeholder until the service exists.
Reply read_file_service(const Request&) { return error_reply("Unknown: read_file"); }

}  // namespace zelta
