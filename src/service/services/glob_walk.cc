#include "service/services/glob_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <string_view>
#include <unordered_set>

#include "platform/unique_fd.h"
#include "protocol/utf8.h"
#include "service/services/dir_listing.h"

namespace zelta {
namespace {

constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Directories held open at once along the current branch of the walk. Below
// this depth a directory gives up its descriptor once listed, and what lies
// under it is reached by its whole path, so a very deep tree cannot exhaust
// the descriptor table.
constexpr std::size_t kHeldDirectoryLimit = 128;

bool may_be_directory(unsigned char type) {
  return type == DT_DIR || type == DT_LNK || type == DT_UNKNOWN;
}

class Walker {
 public:
  Walker(const GlobPattern& pattern, std::vector<std::string>& out, GlobWalkStats* stats)
      : pattern_(pattern), components_(pattern.components), out_(out), stats_(stats) {
    std::size_t recursive = 0;
    for (const GlobComponent& component : components_) {
      if (component.kind() == Kind::kRecursive) ++recursive;
    }
    // With one "**" the names after it are matched one per component, so a
    // path splits between the "**" and the rest in a single way and is found
    // once. Two or more can split it several ways (a/b/c as a|b/c or a/b|c),
    // and each way would walk the same subtree again.
    deduplicate_ = recursive >= 2;
  }

  void run() {
    if (pattern_.absolute) path_ = "/";
    if (components_.empty()) {
      if (pattern_.absolute) emit();
      return;
    }
    resolve(AT_FDCWD, 0, 0);
  }

 private:
  using Kind = GlobComponent::Kind;

  // Restores the walk path when a branch of the walk is done.
  class PathMark {
   public:
    explicit PathMark(Walker& walker)
        : walker_(walker), size_(walker.path_.size()), pushed_(walker.pushed_) {}
    ~PathMark() {
      walker_.path_.resize(size_);
      walker_.pushed_ = pushed_;
    }

   private:
    Walker& walker_;
    std::size_t size_;
    std::size_t pushed_;
  };

  // Appends one component to the walk path; returns where its text begins.
  std::size_t push(std::string_view text) {
    if (pushed_++ > 0) path_ += '/';
    const std::size_t at = path_.size();
    path_.append(text);
    return at;
  }

  // The walk path from `rel` on, as a name for the *at calls; the empty
  // relative path is the working directory.
  const char* name_at(std::size_t rel) const {
    const char* name = path_.c_str() + rel;
    return *name != '\0' ? name : ".";
  }

  void emit() {
    if (deduplicate_ && !emitted_.insert(path_).second) return;
    out_.push_back(utf8_lossy(path_));
  }

  // True the first time the walk path is entered for component `i`. What the
  // walk finds from there depends only on that pair, and paths only grow as
  // the walk descends, so a later entry would find again exactly what the
  // first one has already reported.
  bool first_entry(std::size_t i) {
    if (!deduplicate_) return true;
    std::string key = path_;
    key += '\0';  // no path holds a NUL byte
    key += std::to_string(i);
    return entered_.insert(std::move(key)).second;
  }

  bool stat_is_directory(int dir, std::size_t rel, int flags) const {
    struct stat st;
    return ::fstatat(dir, name_at(rel), &st, flags) == 0 && S_ISDIR(st.st_mode);
  }

  // A directory, or a symbolic link to one.
  bool is_directory(int dir, std::size_t rel, unsigned char type) const {
    if (type == DT_DIR) return true;
    if (type != DT_LNK && type != DT_UNKNOWN) return false;
    return stat_is_directory(dir, rel, 0);
  }

  // A directory itself, not a link to one: what "**" descends into.
  bool is_real_directory(int dir, std::size_t rel, unsigned char type) const {
    if (type != DT_UNKNOWN) return type == DT_DIR;
    return stat_is_directory(dir, rel, AT_SYMLINK_NOFOLLOW);
  }

  // The walk path names an existing location, reached as `name_at(rel)` from
  // `dir`; continues with component `i` there.
  void resolve(int dir, std::size_t rel, std::size_t i) {
    if (components_[i].kind() != Kind::kLiteral) {
      UniqueFd child(::openat(dir, name_at(rel), kOpenDirectory));
      if (child) walk_directory(std::move(child), i);
      return;
    }
    // A run of literal components is one lookup (or one open) of the
    // joined names, without listing anything.
    PathMark mark(*this);
    std::size_t j = i;
    for (; j < components_.size() && components_[j].kind() == Kind::kLiteral; ++j) {
      push(components_[j].text());
    }
    if (j == components_.size()) {
      struct stat st;
      const bool found = pattern_.directories_only
                             ? stat_is_directory(dir, rel, 0)
                             : ::fstatat(dir, name_at(rel), &st, AT_SYMLINK_NOFOLLOW) == 0;
      if (found) emit();
      return;
    }
    UniqueFd child(::openat(dir, name_at(rel), kOpenDirectory));
    if (child) walk_directory(std::move(child), j);
  }

  // Entry `name` of `dir` matched the component before `next`.
  void visit(int dir, std::string_view name, unsigned char type, std::size_t next) {
    PathMark mark(*this);
    const std::size_t at = push(name);
    const std::size_t rel = dir == AT_FDCWD ? 0 : at;
    if (next < components_.size()) {
      resolve(dir, rel, next);
    } else if (!pattern_.directories_only || is_directory(dir, rel, type)) {
      emit();
    }
  }

  // `directory` is open at the walk path; component `i` is a wildcard or "**".
  void walk_directory(UniqueFd directory, std::size_t i) {
    if (!first_entry(i)) return;
    if (stats_ != nullptr) ++stats_->listed_directories;
    if (listings_.size() <= depth_) listings_.push_back(std::make_unique<DirListing>());
    DirListing& listing = *listings_[depth_];
    ++depth_;
    if (listing.read(directory.get())) {
      if (depth_ > kHeldDirectoryLimit) directory.reset();
      const int dir = directory ? directory.get() : AT_FDCWD;
      if (components_[i].kind() == Kind::kRecursive) {
        walk_recursive(dir, listing, i);
      } else {
        walk_wildcard(dir, listing, i);
      }
    }
    --depth_;
  }

  void walk_wildcard(int dir, const DirListing& listing, std::size_t i) {
    const GlobComponent& component = components_[i];
    const bool last = i + 1 == components_.size();
    if (component.considers_dot_entries()) {
      for (std::string_view dot : {"..", "."}) {
        if (component.matches(dot)) visit(dir, dot, DT_DIR, i + 1);
      }
    }
    for (const DirListing::Entry& entry : listing.entries()) {
      // Only a directory can lead on to further components.
      if ((last || may_be_directory(entry.type)) && component.matches(entry.view())) {
        visit(dir, entry.view(), entry.type, i + 1);
      }
    }
  }

  // Component `i` is "**" at a directory level: each entry is first tried
  // against the component after "**" (zero further levels), then, when it
  // is a directory, walked as one more level.
  void walk_recursive(int dir, const DirListing& listing, std::size_t i) {
    const bool trailing = i + 1 == components_.size();
    const GlobComponent* next = trailing ? nullptr : &components_[i + 1];
    const bool next_is_last = i + 2 == components_.size();
    if (next != nullptr && next->considers_dot_entries()) {
      for (std::string_view dot : {"..", "."}) {
        if (next->matches(dot)) visit(dir, dot, DT_DIR, i + 2);
      }
    }
    for (const DirListing::Entry& entry : listing.entries()) {
      if (next != nullptr && (next_is_last || may_be_directory(entry.type)) &&
          next->matches(entry.view())) {
        visit(dir, entry.view(), entry.type, i + 2);
      }
      PathMark mark(*this);
      const std::size_t at = push(entry.view());
      const std::size_t rel = dir == AT_FDCWD ? 0 : at;
      if (!is_real_directory(dir, rel, entry.type)) continue;
      if (trailing) emit();
      UniqueFd child(::openat(dir, name_at(rel), kOpenDirectory | O_NOFOLLOW));
      if (child) walk_directory(std::move(child), i);
    }
  }

  const GlobPattern& pattern_;
  const std::vector<GlobComponent>& components_;
  std::vector<std::string>& out_;
  GlobWalkStats* stats_;
  // Only for patterns that can reach a path more than once: the paths
  // reported, and the (path, component) pairs whose directory was listed.
  bool deduplicate_ = false;
  std::unordered_set<std::string> emitted_;
  std::unordered_set<std::string> entered_;
  // The path walked so far, as written; `pushed_` counts its components.
  std::string path_;
  std::size_t pushed_ = 0;
  // One listing per depth of the walk, reused across siblings.
  std::vector<std::unique_ptr<DirListing>> listings_;
  std::size_t depth_ = 0;
};

}  // namespace

void walk_glob(const GlobPattern& pattern, std::vector<std::string>& out, GlobWalkStats* stats) {
  Walker walker(pattern, out, stats);
  walker.run();
}

}  // namespace zelta
