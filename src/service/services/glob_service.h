// The "glob" request.
#pragma once

#include <string>
#include <string_view>

#include "protocol/messages.h"
#include "protocol/request.h"

namespace zelta {

/// Serves a "glob" request with exactly one reply: "Missing patterns"
/// without `patterns`, else the matches of every pattern in turn, joined to
/// the base `cwd` (default "/tmp"). Invalid patterns contribute nothing.
Reply glob_service(const Request& request);

/// The pattern joined to the base directory: an absolute pattern alone,
/// otherwise base + "/" (left out when the base is empty or ends with "/")
/// + pattern. The base is not escaped.
std::string join_glob_base(std::string_view base, std::string_view pattern);

}  // namespace zelta
