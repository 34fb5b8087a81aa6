#include "service/services/hello_service.h"

#include "protocol/extensions.h"

namespace zelta {

Reply hello_service(const Request& request) {
  if (request.extensions) switch_on_extensions(*request.extensions);
  Reply reply;
  reply.extensions.emplace(kExtensionNames.begin(), kExtensionNames.end());
  reply.version.emplace(executor_version());
  return reply;
}

}  // namespace zelta
