// The path of the running program's own executable file.
#pragma once

#include <string>

namespace zelta {

/// The absolute path of the running executable. Where the system cannot
/// tell, the path the program was started by (`argv0`, the program's
/// argv[0]) made absolute, if it names a file through a directory; else empty.
std::string executable_path(const char* argv0);

}  // namespace zelta
