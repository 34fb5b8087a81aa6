// Test support: redirections as a decoded request carries them.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "protocol/request.h"

namespace zelta::testing {

/// A redirection of `kind` to `file`, for descriptor `fd` when given.
inline Redirect redirect(RedirectKind kind, std::string file,
                         std::optional<int> fd = std::nullopt) {
  Redirect r;
  r.kind = kind;
  r.file = std::move(file);
  r.fd = fd;
  return r;
}

}  // namespace zelta::testing
