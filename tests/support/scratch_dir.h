// Test helper: a fresh directory under /tmp, removed with its files at the end.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace zelta {

/// A new directory made with mkdtemp; the destructor removes the files
/// directly inside it and then the directory itself.
struct ScratchDir {
  ScratchDir() {
    char pattern[] = "/tmp/zelta-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path = made != nullptr ? made : "";
  }
  ~ScratchDir() {
    for (const auto& name : entries()) ::unlink((path + "/" + name).c_str());
    ::rmdir(path.c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  /// Names directly inside the directory, without "." and "..".
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
      while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(dir);
    }
    return names;
  }
  void write_file(const std::string& name, const std::string& text, mode_t mode = 0644) const {
    std::ofstream(path + "/" + name) << text;
    ::chmod((path + "/" + name).c_str(), mode);
  }
  std::string read_file(const std::string& name) const {
    std::ifstream in(path + "/" + name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string path;
};

}  // namespace zelta
