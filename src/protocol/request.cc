#include "protocol/request.h"

#include <array>

namespace zelta {
namespace {

constexpr std::array<std::string_view, 8> kRedirectKindNames = {
    "Input", "Output", "Append", "HereDoc", "HereDocDash", "HereString", "InputDup", "OutputDup",
};

}  // namespace

std::string_view redirect_kind_name(RedirectKind kind) {
  return kRedirectKindNames[static_cast<std::size_t>(kind)];
}

std::optional<RedirectKind> redirect_kind_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kRedirectKindNames.size(); ++i) {
    if (kRedirectKindNames[i] == name) return static_cast<RedirectKind>(i);
  }
  return std::nullopt;
}

}  // namespace zelta
