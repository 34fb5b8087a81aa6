#include "tree/lower.h"

namespace zelta {

// Placeholder until the syntax tree decoder exists.
Result<Request> lower_run_ast(const Request& request) {
  if (!request.ast) return fail("Missing ast");
  return fail("Unsupported AST root for run.ast");
}

}  // namespace zelta
