// Walking real directory trees, made per test under a temporary directory.
#include "service/services/glob_walk.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>

namespace zelta {
namespace {

using Paths = std::vector<std::string>;

// A temporary directory removed with everything in it at the end.
class TempTree {
 public:
  TempTree() {
    char name[] = "/tmp/glob_walk_test.XXXXXX";
    root_ = ::mkdtemp(name);
  }
  ~TempTree() {
    ::nftw(
        root_.c_str(),
        [](const char* path, const struct stat*, int flag, struct FTW*) {
          if (flag == FTW_DP) {
            ::rmdir(path);
          } else {
            ::unlink(path);
          }
          return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
    ::rmdir(root_.c_str());
  }
  const std::string& root() const { return root_; }
  std::string path(const std::string& rel) const { return root_ + "/" + rel; }

  void dir(const std::string& rel) const { ASSERT_EQ(::mkdir(path(rel).c_str(), 0755), 0) << rel; }
  void file(const std::string& rel) const { std::ofstream(path(rel)) << "x"; }
  void link(const std::string& target, const std::string& rel) const {
    ASSERT_EQ(::symlink(target.c_str(), path(rel).c_str()), 0) << rel;
  }

 private:
  std::string root_;
};

Paths glob(const std::string& pattern) {
  Paths out;
  auto compiled = compile_glob(pattern);
  EXPECT_TRUE(compiled.ok()) << pattern;
  if (compiled.ok()) walk_glob(compiled.value(), out);
  return out;
}

// Prefixes every relative name with the tree's root.
Paths under(const TempTree& tree, const Paths& names) {
  Paths out;
  for (const auto& name : names) out.push_back(tree.path(name));
  return out;
}

TEST(GlobWalk, TrailingRecursiveYieldsDirectoriesBelowDepthFirst) {
  TempTree t;
  t.dir("dir");
  t.dir("dir/a");
  t.dir("dir/a/b");
  t.dir("dir/c");
  t.file("dir/f");
  t.file("dir/a/g");
  EXPECT_EQ(glob(t.path("dir/**")), under(t, {"dir/a", "dir/a/b", "dir/c"}));
  EXPECT_EQ(glob(t.path("dir/**/")), under(t, {"dir/a", "dir/a/b", "dir/c"}));
  EXPECT_EQ(glob(t.path("dir/**/**")), under(t, {"dir/a", "dir/a/b", "dir/c"}));
}

TEST(GlobWalk, RecursiveMatchesZeroOrMoreLevelsInPreOrder) {
  TempTree t;
  t.dir("a");
  t.dir("a/x");
  t.dir("a/x/y");
  t.file("a/b");
  t.file("a/x/b");
  t.file("a/x/y/b");
  t.file("a/x/y/c");
  EXPECT_EQ(glob(t.path("a/**/b")), under(t, {"a/b", "a/x/b", "a/x/y/b"}));
  // A directory comes before what lies beneath it, siblings in byte order.
  t.file("a/x.c");
  t.file("a/x/m.c");
  t.file("a/z.c");
  EXPECT_EQ(glob(t.path("a/**/*.c")), under(t, {"a/x/m.c", "a/x.c", "a/z.c"}));
  EXPECT_EQ(glob(t.path("a/**/*")), under(t, {"a/b", "a/x", "a/x/b", "a/x/m.c", "a/x/y", "a/x/y/b",
                                              "a/x/y/c", "a/x.c", "a/z.c"}));
  EXPECT_EQ(glob(t.path("a/**/y/*")), under(t, {"a/x/y/b", "a/x/y/c"}));
}

TEST(GlobWalk, HiddenEntriesAndDotEntries) {
  TempTree t;
  t.dir("dir");
  t.file("dir/.env");
  t.file("dir/b");
  t.file("dir/A");
  t.dir("dir/.git");
  EXPECT_EQ(glob(t.path("dir/*")), under(t, {"dir/.env", "dir/.git", "dir/A", "dir/b"}));
  EXPECT_EQ(glob(t.path("dir/.*")), under(t, {"dir/..", "dir/.", "dir/.env", "dir/.git"}));
  EXPECT_EQ(glob(t.path("dir/.?")), under(t, {"dir/.."}));
  EXPECT_EQ(glob(t.path("dir/?*")), under(t, {"dir/.env", "dir/.git", "dir/A", "dir/b"}));
  EXPECT_EQ(glob(t.path("dir/.*/")), under(t, {"dir/..", "dir/.", "dir/.git"}));
  EXPECT_EQ(glob(t.path("dir/**/.e*")), under(t, {"dir/.env"}));
}

TEST(GlobWalk, LiteralComponentsAndLinks) {
  TempTree t;
  t.dir("d");
  t.file("d/f");
  t.link("missing", "d/dangling");
  t.link("d", "to_d");
  // A dangling link exists for a literal lookup and for a listing.
  EXPECT_EQ(glob(t.path("d/dangling")), under(t, {"d/dangling"}));
  EXPECT_EQ(glob(t.path("d/*")), under(t, {"d/dangling", "d/f"}));
  EXPECT_EQ(glob(t.path("d/nothing")), Paths{});
  EXPECT_EQ(glob(t.path("d/f/x")), Paths{});
  // Literal components pass through links; paths stay as written.
  EXPECT_EQ(glob(t.path("to_d/f")), under(t, {"to_d/f"}));
  EXPECT_EQ(glob(t.path("d/../d/./f")), under(t, {"d/../d/./f"}));
  EXPECT_EQ(glob(t.path("*/f")), under(t, {"d/f", "to_d/f"}));
  EXPECT_EQ(glob(t.path("d//f")), under(t, {"d//f"}));
}

TEST(GlobWalk, TrailingSlashKeepsDirectoriesOnly) {
  TempTree t;
  t.dir("a");
  t.file("b");
  t.dir("c");
  t.link("a", "la");
  t.link("b", "lb");
  t.link("missing", "lm");
  EXPECT_EQ(glob(t.path("*/")), under(t, {"a", "c", "la"}));
  EXPECT_EQ(glob(t.path("a/")), under(t, {"a"}));
  EXPECT_EQ(glob(t.path("b/")), Paths{});
  EXPECT_EQ(glob(t.path("la/")), under(t, {"la"}));
}

TEST(GlobWalk, RecursionDoesNotFollowLinks) {
  TempTree t;
  t.dir("a");
  t.file("a/f.c");
  t.link(".", "a/loop");
  t.link("..", "a/up");
  // The walk ends; the links are entries but not levels.
  EXPECT_EQ(glob(t.path("**/*.c")), under(t, {"a/f.c"}));
  EXPECT_EQ(glob(t.path("**")), under(t, {"a"}));
  EXPECT_EQ(glob(t.path("a/**/*")), under(t, {"a/f.c", "a/loop", "a/up"}));
  // A single wildcard level does pass through a link.
  EXPECT_EQ(glob(t.path("a/*/f.c")), under(t, {"a/loop/f.c"}));
}

TEST(GlobWalk, NamesThatAreNotUtf8) {
  TempTree t;
  t.dir("bad\xff");
  t.file("bad\xff/x.c");
  t.file("ok.c");
  t.file("\xfe.c");
  EXPECT_EQ(glob(t.path("*.c")), under(t, {"ok.c"}));
  EXPECT_EQ(glob(t.path("*")), under(t, {"ok.c"}));
  // "**" levels are not name matches: the directory is walked and its name
  // is reported with U+FFFD.
  EXPECT_EQ(glob(t.path("**/x.c")), under(t, {"bad\xef\xbf\xbd/x.c"}));
  EXPECT_EQ(glob(t.path("**")), under(t, {"bad\xef\xbf\xbd"}));
}

TEST(GlobWalk, RelativePatternsResolveAgainstWorkingDirectory) {
  TempTree t;
  t.dir("w");
  t.file("w/a.txt");
  t.file("x.txt");
  char saved[4096];
  ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(::chdir(t.path("w").c_str()), 0);
  const Paths star = glob("*.txt");
  const Paths up = glob("../*.txt");
  const Paths dot = glob("./*");
  const Paths recursive = glob("../**/a.txt");
  ASSERT_EQ(::chdir(saved), 0);
  EXPECT_EQ(star, Paths{"a.txt"});
  EXPECT_EQ(up, Paths{"../x.txt"});
  EXPECT_EQ(dot, Paths{"./a.txt"});
  EXPECT_EQ(recursive, Paths{"../w/a.txt"});
}

TEST(GlobWalk, RootPattern) {
  EXPECT_EQ(glob("/"), Paths{"/"});
  EXPECT_EQ(glob("/tmp/"), Paths{"/tmp"});
}

TEST(GlobWalk, DeepTreeBeyondHeldDescriptors) {
  TempTree t;
  std::string rel = "d";
  t.dir(rel);
  for (int i = 0; i < 200; ++i) {
    rel += "/d";
    t.dir(rel);
  }
  t.file(rel + "/leaf");
  EXPECT_EQ(glob(t.path("**/leaf")), under(t, {rel + "/leaf"}));
  EXPECT_EQ(glob(t.path("**")).size(), 201u);
}

// Several "**" can split one path in several ways; each path is reported
// once, where the walk first finds it (not in plain tree order).
TEST(GlobWalk, SeveralRecursiveComponentsReportEachPathOnce) {
  TempTree t;
  for (const char* d : {"a", "a/b", "a/b/a", "a/b/a/b", "a/x", "b", "b/a"}) t.dir(d);
  for (const char* f : {"f", "a/f", "a/b/f", "a/b/a/f", "a/b/a/b/f", "b/f", "b/a/f"}) t.file(f);
  const struct {
    const char* pattern;
    Paths expected;
  } cases[] = {
      {"**/a/**/f", {"a/b/a/b/f", "a/b/a/f", "a/b/f", "a/f", "b/a/f"}},
      {"**/b/**", {"a/b/a", "a/b/a/b", "b/a"}},
      {"a/**/b/**/f", {"a/b/a/b/f", "a/b/a/f", "a/b/f"}},
      {"**/a/**/b/**/f", {"a/b/a/b/f", "a/b/a/f", "a/b/f"}},
      {"**/a/**/", {"a/b", "a/b/a", "a/b/a/b", "a/x"}},
      {"**/**/f", {"a/b/a/b/f", "a/b/a/f", "a/b/f", "a/f", "b/a/f", "b/f", "f"}},
  };
  for (const auto& c : cases) EXPECT_EQ(glob(t.path(c.pattern)), under(t, c.expected)) << c.pattern;
}

// Without merging, five "**" over a chain of 40 directories walk each level
// once per way to split the path above it: tens of thousands of listings.
TEST(GlobWalk, RecursiveComponentsListEachDirectoryOncePerComponent) {
  TempTree t;
  std::string rel;
  for (int level = 0; level <= 40; ++level) {
    if (level > 0) {
      rel += rel.empty() ? "s" : "/s";
      t.dir(rel);
    }
    t.file(rel.empty() ? "f" : rel + "/f");
  }
  auto compiled = compile_glob(t.path("**/s/**/s/**/s/**/s/**/f"));
  ASSERT_TRUE(compiled.ok());
  Paths out;
  GlobWalkStats stats;
  walk_glob(compiled.value(), out, &stats);
  // f below at least four levels of s: levels 4 to 40, each once.
  EXPECT_EQ(out.size(), 37u);
  EXPECT_EQ(std::set<std::string>(out.begin(), out.end()).size(), out.size());
  EXPECT_LE(stats.listed_directories, 41u * 10u);
}

// An unreadable directory contributes nothing and the walk goes on. Root
// reads any directory, so as root the walk runs in a child process that
// has given up its privileges.
TEST(GlobWalk, UnreadableDirectoryIsSkipped) {
  TempTree t;
  ASSERT_EQ(::chmod(t.root().c_str(), 0755), 0);
  t.dir("a");
  t.dir("b");
  t.file("a/1.c");
  t.file("b/2.c");
  t.file("c.c");
  ASSERT_EQ(::chmod(t.path("a").c_str(), 0), 0);
  const Paths expected = under(t, {"b/2.c", "c.c"});
  const Paths expected_star = under(t, {"b/2.c"});
  if (::geteuid() != 0) {
    EXPECT_EQ(glob(t.path("**/*.c")), expected);
    EXPECT_EQ(glob(t.path("*/*.c")), expected_star);
  } else {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
      const bool ok =
          dropped && glob(t.path("**/*.c")) == expected && glob(t.path("*/*.c")) == expected_star;
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ::chmod(t.path("a").c_str(), 0755);  // so that the tree can be removed
}

}  // namespace
}  // namespace zelta
