// Reading whole files as text: contents, sizes and every failure form.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "service/services/process_subst_service.h"
#include "service/services/read_file_service.h"

namespace zelta {
namespace {

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
    auto result = read_text_file(write("f" + std::to_string(i++), content));
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
    auto result = read_text_file(write("b" + std::to_string(i++), content));
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
  const std::string expected = "/tmp/zelta-stdio-" + std::to_string(::getpid());
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
