#include "run_requests.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace zelta::testing {

using nlohmann::json;

namespace {

json command_node(const std::string& name, const std::vector<std::string>& args,
                  const json& redirects) {
  return {{"Command",
           {{"name", name},
            {"args", args},
            {"single_quoted_args", json::array()},
            {"redirects", redirects}}}};
}

void merge(json& request, const json& extra) {
  for (const auto& [key, value] : extra.items()) request[key] = value;
}

void remove_tree(const std::string& path) {
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path + "/" + name;
      if (entry->d_type == DT_DIR) {
        remove_tree(child);
      } else {
        ::unlink(child.c_str());
      }
    }
    ::closedir(dir);
  }
  ::rmdir(path.c_str());
}

}  // namespace

std::string command_request(const std::string& run_id, const std::string& name,
                            const std::vector<std::string>& args, const json& redirects,
                            const json& extra) {
  json request = {{"type", "run.ast"}, {"run_id", run_id}};
  request["ast"] = command_node(name, args, redirects);
  merge(request, extra);
  return request.dump();
}

std::string pipeline_request(const std::string& run_id,
                             const std::vector<std::vector<std::string>>& members,
                             const json& extra) {
  json commands = json::array();
  json operators = json::array();
  for (const auto& member : members) {
    std::vector<std::string> args(member.begin() + 1, member.end());
    commands.push_back(command_node(member.front(), args, json::array()));
    if (commands.size() > 1) operators.push_back("|");
  }
  json request = {{"type", "run.ast"}, {"run_id", run_id}};
  request["ast"] = {{"Pipeline", {{"commands", commands}, {"operators", operators}}}};
  merge(request, extra);
  return request.dump();
}

std::string control_request(const std::string& type, const std::string& run_id,
                            const json& fields) {
  json request = {{"type", type}, {"run_id", run_id}};
  merge(request, fields);
  return request.dump();
}

json redirect(const char* kind, const std::string& file, int fd) {
  json record = {{"kind", kind}, {"file", file}};
  record["fd"] = fd < 0 ? json(nullptr) : json(fd);
  return record;
}

RunOutcome read_run(ExecutorProcess& executor, std::chrono::milliseconds timeout) {
  RunOutcome outcome;
  while (true) {
    auto line = executor.read_line(timeout);
    if (!line) {
      ADD_FAILURE() << "the run did not finish";
      return outcome;
    }
    json message = json::parse(*line, nullptr, false);
    if (message.is_discarded()) {
      ADD_FAILURE() << "not a JSON line: " << line->substr(0, 200);
      return outcome;
    }
    if (message.contains("error")) {
      outcome.error = message["error"].get<std::string>();
      return outcome;
    }
    const std::string type = message.value("type", "");
    if (type == "stdout") outcome.stdout_text += message["stdout"].get<std::string>();
    if (type == "stderr") outcome.stderr_text += message["stderr"].get<std::string>();
    outcome.events.push_back(message);
    if (type == "exit") {
      outcome.exit_code = message["exit_code"].get<int>();
      return outcome;
    }
  }
}

std::vector<std::string> read_output_until(ExecutorProcess& executor, const std::string& text,
                                           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::string> lines;
  std::string output;
  while (output.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto line = executor.read_line(std::max(left, std::chrono::milliseconds(0)));
    if (!line) {
      ADD_FAILURE() << "no output " << json(text).dump() << "; got so far " << json(output).dump();
      return lines;
    }
    lines.push_back(*line);
    const json message = json::parse(*line, nullptr, false);
    const std::string type = message.is_object() ? message.value("type", "") : "";
    if (type == "stdout") output += message["stdout"].get<std::string>();
    if (type == "exit" || (message.is_object() && message.contains("error"))) {
      ADD_FAILURE() << "the run ended before its output showed " << json(text).dump() << ": "
                    << *line;
      return lines;
    }
  }
  return lines;
}

bool pipelines_available(ExecutorProcess& executor) {
  executor.send_line(pipeline_request("probe", {{"true"}}));
  return read_run(executor).exit_code == 0;
}

long status_kib(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word) {
    if (word == key + ":") {
      long kib = -1;
      status >> kib;
      return kib;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

long resident_kib(pid_t pid) { return status_kib(pid, "VmRSS"); }

std::vector<std::string> directory_entries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

ExecutorOptions unprivileged_options(const ScratchDirectory& dir, std::string& why,
                                     std::vector<std::string> wrapper) {
  ExecutorOptions options;
  options.wrapper = std::move(wrapper);
  why.clear();
  if (::geteuid() != 0) return options;
  if (::access("/usr/bin/setpriv", X_OK) != 0) {
    why = "setpriv is not installed";
    return options;
  }
  const std::string copy = dir.path() + "/stdio_executor";
  {
    std::ifstream from(ZELTA_EXECUTOR_PATH, std::ios::binary);
    std::ofstream to(copy, std::ios::binary);
    to << from.rdbuf();
    if (!from || !to) why = "cannot copy the executor to " + copy;
  }
  if (!why.empty() || ::chmod(copy.c_str(), 0755) != 0 || ::chmod(dir.path().c_str(), 0755) != 0) {
    if (why.empty()) why = "cannot open " + copy + " to everyone";
    return options;
  }
  for (const char* word : {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"}) {
    options.wrapper.push_back(word);
  }
  options.executable = copy;
  // A working directory the user can enter.
  options.cwd = "/";
  return options;
}

ScratchDirectory::ScratchDirectory() {
  char pattern[] = "/tmp/zelta-hardening-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  path_ = made;
}

ScratchDirectory::~ScratchDirectory() {
  if (!path_.empty()) remove_tree(path_);
}

std::string ScratchDirectory::write_file(const std::string& name,
                                         const std::string& content) const {
  const std::string file = path_ + "/" + name;
  std::ofstream(file, std::ios::binary) << content;
  return file;
}

}  // namespace zelta::testing
