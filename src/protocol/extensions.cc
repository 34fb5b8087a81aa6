#include "protocol/extensions.h"

#include <algorithm>
#include <atomic>
#include <optional>

namespace zelta {
namespace {

static_assert(std::is_sorted(kExtensionNames.begin(), kExtensionNames.end()),
              "the hello reply lists the extensions in byte order");

constexpr std::size_t kSwitchCount = 4;

// Written only by the service thread; atomic because capture threads and the
// tests' own threads may read them while a run is set up.
std::atomic<bool> g_switches[kSwitchCount];

std::optional<Switch> switch_named(std::string_view name) {
  if (name == "exit_signal") return Switch::kExitSignal;
  if (name == "signals") return Switch::kSignals;
  if (name == "env") return Switch::kEnv;
  if (name == "concurrent") return Switch::kConcurrent;
  return std::nullopt;
}

}  // namespace

std::string_view executor_version() { return ZELTA_VERSION; }

void switch_on_extensions(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (auto which = switch_named(name)) {
      g_switches[static_cast<std::size_t>(*which)].store(true, std::memory_order_relaxed);
    }
  }
}

bool switched_on(Switch which) {
  return g_switches[static_cast<std::size_t>(which)].load(std::memory_order_relaxed);
}

void reset_switches_for_testing() {
  for (auto& on : g_switches) on.store(false, std::memory_order_relaxed);
}

}  // namespace zelta
