// Request lines of the client and the cutting of keystrokes into sendable text.
#include "clients/cli/requests.h"

#include <gtest/gtest.h>

#include <string>

namespace zelta::client {
namespace {

TEST(Requests, LinesCarryTypeAndRunIdFirst) {
  Json tree = Json{{"Command", Json::object()}};
  EXPECT_EQ(encode_line(run_ast_request("r1", tree, "/home/u", WindowSize{30, 100})),
            R"({"type":"run.ast","run_id":"r1","cwd":"/home/u","rows":30,"cols":100,)"
            R"("ast":{"Command":{}}})");
  EXPECT_EQ(encode_line(run_ast_request("r2", tree, "", std::nullopt)),
            R"({"type":"run.ast","run_id":"r2","ast":{"Command":{}}})");
  EXPECT_EQ(encode_line(stdin_write_request("r1", "\x03\"x\"\n")),
            R"({"type":"stdin.write","run_id":"r1","data":"\u0003\"x\"\n"})");
  EXPECT_EQ(encode_line(run_signal_request("r1", "KILL")),
            R"({"type":"run.signal","run_id":"r1","signal":"KILL"})");
  EXPECT_EQ(encode_line(run_resize_request("r1", WindowSize{50, 65535})),
            R"({"type":"run.resize","run_id":"r1","rows":50,"cols":65535})");
  // Bytes that are not UTF-8 cannot travel as text: they become U+FFFD.
  EXPECT_EQ(encode_line(stdin_write_request("r1", "a\xff")),
            "{\"type\":\"stdin.write\",\"run_id\":\"r1\",\"data\":\"a\xef\xbf\xbd\"}");
}

TEST(Requests, KeystrokesAreSentWithoutSplittingACharacter) {
  struct Case {
    std::string pending;
    std::string sent;
    std::string kept;
  };
  const Case cases[] = {
      {"abc", "abc", ""},
      {"", "", ""},
      {"a\xc3", "a", "\xc3"},
      {"\xc3\xa9", "\xc3\xa9", ""},
      {"\xc3\xa9\xe2\x82", "\xc3\xa9", "\xe2\x82"},
      {"\xe2\x82\xac", "\xe2\x82\xac", ""},
      {"x\xf0\x9f\x98", "x", "\xf0\x9f\x98"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80", ""},
      // Bytes that can never start a character are sent (and replaced) at once.
      {"a\xff", "a\xff", ""},
      {"\x80\x80", "\x80\x80", ""},
      {"a\xc0", "a\xc0", ""},
  };
  for (const auto& c : cases) {
    std::string pending = c.pending;
    EXPECT_EQ(take_sendable(pending), c.sent);
    EXPECT_EQ(pending, c.kept);
  }
}

}  // namespace
}  // namespace zelta::client
