// The path of the running program's own executable file.
#pragma once

#include <string>

namespace zelta {

/// The absolute path of the running executable, or empty where the system
/// cannot tell.
std::string executable_path();

}  // namespace zelta
