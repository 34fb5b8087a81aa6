#include "protocol/request_decoder.h"

namespace zelta {

// Placeholder until the decoder exists.
Result<Request> decode_request(std::string_view) { return fail("not implemented"); }

}  // namespace zelta
