#include "launch/environment.h"

#include <algorithm>
#include <cstring>

#include "protocol/extensions.h"
#include "protocol/system_error.h"

extern char** environ;

namespace zelta {

EnvOverrides compose_environment(const EnvMap& env, std::string_view command, LaunchMode mode) {
  EnvOverrides overrides(env.begin(), env.end());
  // insert_or_assign makes the launch's value win; try_emplace the request's.
  const bool request_wins = switched_on(Switch::kEnv);
  auto set = [&](const char* name, const char* value) {
    if (request_wins) {
      overrides.try_emplace(name, value);
    } else {
      overrides.insert_or_assign(name, value);
    }
  };
  set("TERM", "xterm-256color");
  if (mode == LaunchMode::kTerminal) {
    if (command == "bash" || command == "sh") set("BASH_ENV", "/dev/null");
    if (command == "zsh") set("ZDOTDIR", "/dev/null");
  }
  return overrides;
}

bool is_valid_env_name(std::string_view name) {
  return !name.empty() && name.find('=') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

Result<EnvironmentBlock> EnvironmentBlock::build(const EnvOverrides& overrides, bool inherit) {
  for (const auto& [name, value] : overrides) {
    if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
      return fail(kNulByteError);
    }
  }
  EnvironmentBlock block;
  std::vector<const std::string*> pending;  // overrides not yet placed
  for (const auto& entry : overrides) pending.push_back(&entry.first);
  for (char** e = inherit ? environ : nullptr; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry(*e);
    std::string_view name = entry.substr(0, entry.find('='));
    auto it = overrides.find(std::string(name));
    if (it == overrides.end()) {
      block.entries_.emplace_back(entry);
      continue;
    }
    auto placed = std::find(pending.begin(), pending.end(), &it->first);
    if (placed == pending.end()) continue;  // a repeated name: keep the first only
    pending.erase(placed);
    block.entries_.push_back(it->first + "=" + it->second);
  }
  std::sort(pending.begin(), pending.end(),
            [](const std::string* a, const std::string* b) { return *a < *b; });
  for (const std::string* name : pending) {
    block.entries_.push_back(*name + "=" + overrides.at(*name));
  }
  block.pointers_.reserve(block.entries_.size() + 1);
  for (std::string& entry : block.entries_) block.pointers_.push_back(entry.data());
  block.pointers_.push_back(nullptr);
  return block;
}

const char* EnvironmentBlock::get(std::string_view name) const {
  for (const std::string& entry : entries_) {
    if (entry.size() > name.size() && entry[name.size()] == '=' &&
        std::string_view(entry).substr(0, name.size()) == name) {
      return entry.c_str() + name.size() + 1;
    }
  }
  return nullptr;
}

}  // namespace zelta
