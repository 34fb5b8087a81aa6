// Reading whole files as text: contents, sizes and every failure form.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "service/services/process_subst_service.h"
#include "service/services/read_file_service.h"

namespace zelta {
namespace {

// `prefix` followed by `number`. Appended rather than written
// `"literal" + std::to_string(n)`, which GCC 12 in a Release build flags as a
// restrict violation inside std::string::insert (a false positive).
std::string numbered(const char* prefix, long number) {
  std::string text = prefix;
  text += std::to_string(number);
  return text;
}

class ReadFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/read_file_test.XXXXXX";
    dir_ = ::mkdtemp(name);
  }
  void TearDown() override {
    for (const auto& p : created_) ::unlink(p.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string write(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    created_.push_back(path);
    return path;
  }

  std::string dir_;
  std::vector<std::string> created_;
};

TEST_F(ReadFile, ReturnsContentUnchanged) {
  const std::string cases[] = {
      "", "caf\xc3\xa9\r\n\ttrailing  \n\n", std::string("nul\0inside", 10),
      std::string(3 * 256 * 1024 + 17, 'x'),  // spans several read steps
  };
  int i = 0;
  for (const auto& content : cases) {
    auto result = read_text_file(write(numbered("f", i++), content));
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(result.value(), content);
  }
}

// Reads come in steps of 256 KiB and are checked step by step: characters
// and faults placed across a step boundary must be judged as a whole.
TEST_F(ReadFile, Utf8AcrossReadBoundaries) {
  constexpr std::size_t kStep = 256 * 1024;
  struct Case {
    std::size_t offset_before_step;  // bytes of the piece that fall before the boundary
    std::string piece;
    bool valid;
  };
  const Case cases[] = {
      {1, "\xc3\xa9", true},         {1, "\xe6\x97\xa5", true},      {2, "\xe6\x97\xa5", true},
      {1, "\xf0\x9f\x98\x80", true}, {2, "\xf0\x9f\x98\x80", true},  {3, "\xf0\x9f\x98\x80", true},
      {1, "\xc3x", false},           {2, "\xe6\x97x", false},        {3, "\xf0\x9f\x98x", false},
      {1, "\x80\x80", false},        {3, "\xa9\xa9\xa9\xa9", false},
  };
  int i = 0;
  for (const auto& c : cases) {
    std::string content(kStep - c.offset_before_step, 'x');
    content += c.piece;
    content += "tail";
    auto result = read_text_file(write(numbered("b", i++), content));
    EXPECT_EQ(result.ok(), c.valid) << c.offset_before_step << " " << i;
    if (result.ok()) {
      EXPECT_EQ(result.value(), content);
    }
  }
  // A sequence cut off by the end of the file.
  EXPECT_FALSE(read_text_file(write("end", std::string(kStep, 'x') + "\xe6\x97")).ok());
}

TEST_F(ReadFile, ReadsFilesWithoutSize) {
  // /proc files report size 0 but have content.
  auto result = read_text_file("/proc/self/status");
  ASSERT_TRUE(result.ok());
  EXPECT_NE(result.value().find("Pid:"), std::string::npos);
}

TEST_F(ReadFile, Failures) {
  const std::string invalid = write("bad", "ok\xff");
  const std::string truncated = write("cut", "\xc3");
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {invalid, "stream did not contain valid UTF-8"},
      {truncated, "stream did not contain valid UTF-8"},
      {dir_ + "/missing", "No such file or directory (os error 2)"},
      {"", "No such file or directory (os error 2)"},
      {dir_, "Is a directory (os error 21)"},
      {std::string("a\0b", 3), "file name contained an unexpected NUL byte"},
  };
  for (const auto& c : cases) {
    auto result = read_text_file(c.path);
    ASSERT_FALSE(result.ok()) << c.path;
    EXPECT_EQ(result.error(), c.error);
  }
}

// Files that are not regular may never end or never deliver: each is read
// within small bounds here, while a regular file larger than them is whole.
TEST_F(ReadFile, StreamsAreBoundedInSizeAndTime) {
  constexpr StreamLimits kSmall{1024, 200, 5000};
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  created_.push_back(fifo);
  // A writer on a thread of its own writes `text` and leaves. A busy machine may
  // start it late, so this read waits longer for a first byte; the size bound is
  // the small one.
  constexpr StreamLimits kPatient{kSmall.max_bytes, 20000, 30000};
  auto read_fifo_with_writer = [&](const std::string& text) {
    std::thread writer([&] {
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd >= 0) {
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
      }
    });
    auto result = read_text_file(fifo, kPatient);
    writer.join();
    return result;
  };
  auto hello = read_fifo_with_writer("hello");
  ASSERT_TRUE(hello.ok()) << hello.error();
  EXPECT_EQ(hello.value(), "hello");
  struct Case {
    std::string name;
    Result<std::string> result;
    std::string error;
  };
  const Case cases[] = {
      {"fifo without writer", read_text_file(fifo, kSmall),
       "Resource temporarily unavailable (os error 11)"},
      {"fifo beyond the limit", read_fifo_with_writer(std::string(2048, 'x')),
       "File too large (os error 27)"},
      {"endless device", read_text_file("/dev/zero", kSmall), "File too large (os error 27)"},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.result.ok()) << c.name;
    EXPECT_EQ(c.result.error(), c.error) << c.name;
  }
  const std::string large(4096, 'r');
  auto regular = read_text_file(write("large", large), kSmall);
  ASSERT_TRUE(regular.ok()) << regular.error();
  EXPECT_EQ(regular.value(), large);
}

// A size that says nothing about what reading takes: a sparse file claiming
// far more than memory is refused before anything is allocated; files of
// /proc and /sys and regular files of no size get the bounds of streams.
TEST_F(ReadFile, SizesThatSayNothingAreBoundedOrRefused) {
  constexpr StreamLimits kSmall{64 * 1024, 2000, 10000};
  const std::string sparse = write("sparse", "");
  ASSERT_EQ(::truncate(sparse.c_str(), 1L << 40), 0);
  const struct {
    const char* name;
    std::string path;
    const char* error;  // nullptr: read whole
  } cases[] = {
      {"sparse 1 TiB", sparse, "File too large (os error 27)"},
      {"pagemap", "/proc/self/pagemap", "File too large (os error 27)"},
      {"small /proc file", "/proc/self/stat", nullptr},
      {"small /sys file", "/sys/devices/system/cpu/online", nullptr},
      {"empty regular file", write("empty", ""), nullptr},
  };
  for (const auto& c : cases) {
    auto result = read_text_file(c.path, kSmall);
    if (c.error == nullptr) {
      EXPECT_TRUE(result.ok()) << c.name << ": " << result.error();
    } else {
      ASSERT_FALSE(result.ok()) << c.name;
      EXPECT_EQ(result.error(), c.error) << c.name;
    }
  }
}

// The process's own descriptors 0 to 2 are refused by any name, except the
// null device, which reads as empty wherever it is installed.
TEST_F(ReadFile, OwnStandardStreamsAreRefused) {
  const int saved = ::dup(0);
  ASSERT_GE(saved, 0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "request\n", 8), 8);
  ASSERT_EQ(::dup2(fds[0], 0), 0);
  auto by_alias = read_text_file("/dev/stdin");
  auto by_proc = read_text_file("/proc/self/fd/0");
  auto by_number = read_text_file(numbered("/dev/fd/", fds[0]));
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::dup2(null_fd, 0), 0);
  auto null_device = read_text_file("/dev/stdin");
  ASSERT_EQ(::dup2(saved, 0), 0);
  for (int fd : {saved, fds[0], fds[1], null_fd}) ::close(fd);
  for (const auto* result : {&by_alias, &by_proc, &by_number}) {
    ASSERT_FALSE(result->ok());
    EXPECT_EQ(result->error(), "file is one of the executor's own standard streams");
  }
  ASSERT_TRUE(null_device.ok()) << null_device.error();
  EXPECT_EQ(null_device.value(), "");
}

TEST_F(ReadFile, ServiceReplies) {
  Request request;
  request.type = "read_file";
  EXPECT_EQ(encode_reply(read_file_service(request)), R"({"exit_code":1,"error":"Missing path"})");
  request.path = write("q", "say \"hi\"\n");
  EXPECT_EQ(encode_reply(read_file_service(request)),
            R"({"exit_code":0,"content":"say \"hi\"\n"})");
  request.path = dir_ + "/missing";
  EXPECT_EQ(encode_reply(read_file_service(request)),
            R"j({"exit_code":1,"error":"Read error: No such file or directory (os error 2)"})j");
}

TEST(ProcessSubst, SamePathEveryTimeAndNothingCreated) {
  const std::string expected = numbered("/tmp/zelta-stdio-", ::getpid());
  Request request;
  request.type = "process_subst";
  const Reply first = process_subst_service(request);
  const Reply second = process_subst_service(request);
  EXPECT_EQ(first.temp_path, expected);
  EXPECT_EQ(second.temp_path, expected);
  EXPECT_NE(::access(expected.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace zelta
