// read_file, glob and process_subst through the binary: exact reply lines on
// real files and trees made by the tests.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "executor_process.h"
#include "tmux_session.h"

namespace zelta::testing {
namespace {

// A temporary directory directly under /tmp, removed at the end.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/file_services_test.XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempDir() {
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) ::remove(it->c_str());
    ::rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }
  // The directory's own name (the part after "/tmp/").
  std::string name() const { return path_.substr(5); }
  std::string file(const std::string& rel, const std::string& content = "") {
    const std::string p = path_ + "/" + rel;
    std::ofstream(p, std::ios::binary) << content;
    created_.push_back(p);
    return p;
  }
  std::string dir(const std::string& rel) {
    const std::string p = path_ + "/" + rel;
    ::mkdir(p.c_str(), 0755);
    created_.push_back(p);
    return p;
  }

 private:
  std::string path_;
  std::vector<std::string> created_;
};

std::string glob_request(const std::vector<std::string>& patterns, const char* cwd = nullptr) {
  nlohmann::json request = {{"type", "glob"}, {"patterns", patterns}};
  if (cwd != nullptr) request["cwd"] = cwd;
  return request.dump();
}

std::string matches_reply(const std::vector<std::string>& matches) {
  return nlohmann::json({{"exit_code", 0}, {"glob_matches", matches}}).dump();
}

TEST(ReadFileService, RepliesWithContentOrReadError) {
  TempDir dir;
  const std::string empty = dir.file("empty");
  const std::string accent = dir.file("accent", "caf\xc3\xa9\n");
  const std::string invalid = dir.file("invalid", "a\xff");
  ExecutorProcess executor;
  // Once it has answered, the executor runs its own program with its own
  // descriptors.
  executor.send_line(R"({"type":"process_subst"})");
  executor.next_line();
  const std::vector<std::string> fds_before = executor.open_fds();
  struct Case {
    std::string request;
    std::string reply;
  };
  const Case cases[] = {
      {R"({"type":"read_file"})", R"({"exit_code":1,"error":"Missing path"})"},
      {R"({"type":"read_file","path":null})", R"({"exit_code":1,"error":"Missing path"})"},
      {R"({"type":"read_file","path":")" + empty + "\"}", R"({"exit_code":0,"content":""})"},
      {R"({"type":"read_file","path":")" + accent + "\"}",
       "{\"exit_code\":0,\"content\":\"caf\xc3\xa9\\n\"}"},
      {R"({"type":"read_file","path":")" + invalid + "\"}",
       R"({"exit_code":1,"error":"Read error: stream did not contain valid UTF-8"})"},
      {R"({"type":"read_file","path":""})",
       R"j({"exit_code":1,"error":"Read error: No such file or directory (os error 2)"})j"},
      {R"({"type":"read_file","path":")" + dir.path() + "\"}",
       R"j({"exit_code":1,"error":"Read error: Is a directory (os error 21)"})j"},
      {R"({"type":"read_file","path":"a\u0000b"})",
       R"({"exit_code":1,"error":"Read error: file name contained an unexpected NUL byte"})"},
  };
  for (const auto& c : cases) {
    executor.send_line(c.request);
    EXPECT_EQ(executor.next_line(), c.reply) << c.request;
  }
  EXPECT_EQ(executor.open_fds(), fds_before);
}

TEST(ReadFileService, RelativePathIgnoresRequestCwd) {
  TempDir dir;
  dir.file("rel.txt", "here");
  ExecutorOptions options;
  options.cwd = dir.path();
  ExecutorProcess executor(options);
  executor.send_line(R"({"type":"read_file","path":"rel.txt","cwd":"/"})");
  EXPECT_EQ(executor.next_line(), R"({"exit_code":0,"content":"here"})");
}

TEST(ReadFileService, LargeFileArrivesWholeInOneLine) {
  TempDir dir;
  std::string content;
  for (int i = 0; content.size() < 3'000'000; ++i) {
    content += "line " + std::to_string(i) + "\t\"quoted\" \\ caf\xc3\xa9\x01\n";
  }
  const std::string path = dir.file("big", content);
  ExecutorProcess executor;
  executor.send_line(R"({"type":"read_file","path":")" + path + "\"}");
  executor.send_line(R"({"type":"process_subst"})");
  const auto reply = nlohmann::json::parse(executor.next_line());
  EXPECT_EQ(reply.at("content").get<std::string>(), content);
  EXPECT_NE(executor.next_line().find("temp_path"), std::string::npos);
}

// The executor's controlling terminal would hand it the user's keystrokes, or
// stop it for good (SIGTTIN) were it not in the terminal's foreground.
TEST(ReadFileService, OwnControllingTerminalIsRefused) {
  if (!TmuxSession::available()) GTEST_SKIP() << "tmux is not installed";
  TempDir dir;
  const std::string out = dir.path() + "/out";
  const std::string request = R"({"type":"read_file","path":"/dev/tty"})";
  TmuxSession tmux("printf '%s\\n' " + sh_quote(request) + " | " + ZELTA_EXECUTOR_PATH + " > " +
                       out + "; echo finished; sleep 600",
                   80, 24);
  ASSERT_TRUE(tmux.wait_for("finished")) << tmux.last_screen();
  std::ifstream file(out);
  std::string reply;
  std::getline(file, reply);
  EXPECT_EQ(
      reply,
      R"({"exit_code":1,"error":"Read error: file is the executor's own controlling terminal"})");
  ::remove(out.c_str());
}

// Files that could block the executor or fill its memory: each gets a
// reply, and a request sent right behind it is still answered.
TEST(ReadFileService, StreamsNeverHangOrExhaustTheExecutor) {
  TempDir dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ExecutorProcess executor;
  executor.send_line(R"({"type":"process_subst"})");
  executor.next_line();
  const std::vector<std::string> fds_before = executor.open_fds();
  const std::string own =
      R"({"exit_code":1,"error":"Read error: file is one of the executor's own standard streams"})";
  const std::pair<std::string, std::string> cases[] = {
      {fifo,
       R"j({"exit_code":1,"error":"Read error: Resource temporarily unavailable (os error 11)"})j"},
      {"/dev/zero", R"j({"exit_code":1,"error":"Read error: File too large (os error 27)"})j"},
      {"/dev/stdin", own},
      {"/dev/stdout", own},
      {"/proc/" + std::to_string(executor.pid()) + "/fd/2", own},
      {"/dev/null", R"({"exit_code":0,"content":""})"},
  };
  for (const auto& [path, reply] : cases) {
    // The next request travels in the same write, so it waits in the
    // executor's own input while the file is read.
    executor.send(nlohmann::json({{"type", "read_file"}, {"path", path}}).dump() +
                  "\n{\"type\":\"glob\",\"patterns\":[]}\n");
    EXPECT_EQ(executor.next_line(), reply) << path;
    EXPECT_EQ(executor.next_line(), R"({"exit_code":0,"glob_matches":[]})") << path;
  }
  EXPECT_EQ(executor.open_fds(), fds_before);
  ::unlink(fifo.c_str());
}

TEST(GlobService, BaseJoiningAndInvalidPatterns) {
  TempDir dir;
  dir.file("a.log");
  dir.file("b.log");
  dir.file("c.txt");
  dir.dir("sub");
  const std::string tmp_a = dir.path() + "/a.log";
  const std::string tmp_b = dir.path() + "/b.log";
  ExecutorProcess executor;
  struct Case {
    std::string request;
    std::string reply;
  };
  const Case cases[] = {
      {R"({"type":"glob"})", R"({"exit_code":1,"error":"Missing patterns"})"},
      {glob_request({}), R"({"exit_code":0,"glob_matches":[]})"},
      {glob_request({dir.path() + "/*.none"}), R"({"exit_code":0,"glob_matches":[]})"},
      // Without cwd the base is /tmp: absolute paths come back.
      {glob_request({dir.name() + "/*.log"}), matches_reply({tmp_a, tmp_b})},
      // An absolute pattern ignores the base.
      {glob_request({tmp_a}, "/data"), matches_reply({tmp_a})},
      {glob_request({"*.log"}, (dir.path() + "/").c_str()), matches_reply({tmp_a, tmp_b})},
      // Invalid patterns contribute nothing; the others are served, in order,
      // without deduplication.
      {glob_request({"a**", "*.log", "**b", "x/***", "a.log", "[z"}, dir.path().c_str()),
       matches_reply({tmp_a, tmp_b, tmp_a})},
      // The base is not escaped: its wildcards match.
      {glob_request({"a.*"}, (dir.path().substr(0, dir.path().size() - 1) + "?").c_str()),
       matches_reply({tmp_a})},
      // "." and ".." stay as written; nothing is normalised.
      {glob_request({"../*.txt"}, (dir.path() + "/sub").c_str()),
       matches_reply({dir.path() + "/sub/../c.txt"})},
      {glob_request({"./" + dir.name() + "/c.txt"}, "/tmp/."),
       matches_reply({"/tmp/././" + dir.name() + "/c.txt"})},
  };
  for (const auto& c : cases) {
    executor.send_line(c.request);
    EXPECT_EQ(executor.next_line(), c.reply) << c.request;
  }
}

TEST(GlobService, TreeWalkOnTheWire) {
  TempDir dir;
  dir.dir("dir");
  dir.dir("dir/a");
  dir.dir("dir/a/b");
  dir.file("dir/f");
  dir.file("dir/.env");
  dir.file("dir/a/x.txt");
  dir.file("dir/bad\xff.txt");
  const std::string d = dir.path() + "/dir";
  ExecutorProcess executor;
  executor.send_line(R"({"type":"process_subst"})");
  executor.next_line();
  const std::vector<std::string> fds_before = executor.open_fds();
  struct Case {
    std::vector<std::string> patterns;
    std::vector<std::string> matches;
  };
  const Case cases[] = {
      {{"dir/**"}, {d + "/a", d + "/a/b"}},
      {{"dir/*"}, {d + "/.env", d + "/a", d + "/f"}},
      {{"dir/.*"}, {d + "/..", d + "/.", d + "/.env"}},
      {{"dir/*/"}, {d + "/a"}},
      {{"dir/a/../*.txt"}, {}},
      {{"dir/a/../../dir/a/*.txt"}, {d + "/a/../../dir/a/x.txt"}},
      {{"**/x.txt", "dir/a/*.txt"}, {d + "/a/x.txt", d + "/a/x.txt"}},
  };
  for (const auto& c : cases) {
    executor.send_line(glob_request(c.patterns, dir.path().c_str()));
    EXPECT_EQ(executor.next_line(), matches_reply(c.matches)) << c.patterns[0];
  }
  // A name that is not UTF-8 is reported with U+FFFD when reached by "**".
  dir.dir("dir/q\xfe");
  dir.file("dir/q\xfe/z.md");
  executor.send_line(glob_request({"**/*.md"}, dir.path().c_str()));
  EXPECT_EQ(executor.next_line(), matches_reply({d + "/q\xef\xbf\xbd/z.md"}));
  // The walk closed every directory it opened.
  EXPECT_EQ(executor.open_fds(), fds_before);
}

// Several "**" on a deep chain: one answer per path and pattern, not one per
// way of splitting the path (91,390 copies of the one file, and seconds).
TEST(GlobService, SeveralRecursiveComponentsOnADeepChain) {
  TempDir dir;
  std::string rel = "s";
  dir.dir(rel);
  for (int level = 1; level < 40; ++level) dir.dir(rel += "/s");
  const std::string leaf = dir.file(rel + "/f");
  const std::string pattern = "**/s/**/s/**/s/**/s/**/f";
  ExecutorProcess executor;
  executor.send_line(glob_request({pattern, "**/f", pattern}, dir.path().c_str()));
  // Patterns stay independent: a path matched by two of them is listed twice.
  EXPECT_EQ(executor.next_line(), matches_reply({leaf, leaf, leaf}));
}

TEST(ProcessSubstService, SamePathForEveryRequestAndNothingCreated) {
  ExecutorProcess executor;
  const std::string expected = "/tmp/zelta-stdio-" + std::to_string(executor.pid());
  const std::string reply = R"({"exit_code":0,"temp_path":")" + expected + "\"}";
  executor.send_line(R"({"type":"process_subst"})");
  executor.send_line(R"({"type":"process_subst","path":"/x"})");
  EXPECT_EQ(executor.next_line(), reply);
  EXPECT_EQ(executor.next_line(), reply);
  EXPECT_NE(::access(expected.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace zelta::testing
