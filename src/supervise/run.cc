#include "supervise/run.h"

#include <chrono>

namespace zelta {

long long loop_clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace zelta
