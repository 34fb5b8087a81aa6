// Unpredictable bytes from the operating system.
#pragma once

#include <cstddef>

namespace zelta {

/// Fills `size` bytes from the system's random source; waits while the
/// source is not yet seeded. False only when the system offers no source.
bool fill_random(unsigned char* out, std::size_t size);

}  // namespace zelta
