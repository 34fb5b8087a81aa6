// Exact bytes of replies, events and escaped strings.
#include "protocol/messages.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

namespace zelta {
namespace {

TEST(JsonEscape, EscapesExactlyWhatJsonRequires) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"plain text", "\"plain text\""},
      {"quote\" back\\slash", "\"quote\\\" back\\\\slash\""},
      {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
      {std::string("\0", 1), "\"\\u0000\""},
      {"\x1b[0m", "\"\\u001b[0m\""},
      {"\x1f\x7f/", "\"\\u001f\x7f/\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      // Escapes inside and at the edges of the eight-byte fast path.
      {"abcdefg\"hijklmnop\n", "\"abcdefg\\\"hijklmnop\\n\""},
      {"abcdefgh\x01", "\"abcdefgh\\u0001\""},
  };
  for (const auto& c : cases) {
    std::string out;
    append_json_string(out, c.input);
    EXPECT_EQ(out, c.expected) << "input: " << c.input;
  }
}

TEST(JsonEscape, RoundTripsRandomBytesThroughJsonParser) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string input(random() % 64, '\0');
    // ASCII only, so the parser accepts the result as UTF-8.
    for (char& c : input) c = static_cast<char>(random() % 128);
    std::string out;
    append_json_string(out, input);
    EXPECT_EQ(nlohmann::json::parse(out).get<std::string>(), input);
  }
}

TEST(Messages, RepliesKeepFixedFieldOrder) {
  EXPECT_EQ(encode_reply(error_reply("Parse error")), R"({"exit_code":1,"error":"Parse error"})");
  Reply content;
  content.content = "a\nb";
  EXPECT_EQ(encode_reply(content), R"({"exit_code":0,"content":"a\nb"})");
  Reply matches;
  matches.glob_matches = std::vector<std::string>{"/tmp/a", "/tmp/b"};
  EXPECT_EQ(encode_reply(matches), R"({"exit_code":0,"glob_matches":["/tmp/a","/tmp/b"]})");
  matches.glob_matches->clear();
  EXPECT_EQ(encode_reply(matches), R"({"exit_code":0,"glob_matches":[]})");
  Reply temp;
  temp.temp_path = "/tmp/zelta-stdio-1";
  EXPECT_EQ(encode_reply(temp), R"({"exit_code":0,"temp_path":"/tmp/zelta-stdio-1"})");
}

TEST(Messages, EventKeysComeOutInByteOrder) {
  EXPECT_EQ(encode_event(recv_event("run.ast", "r1")),
            R"({"msg_type":"run.ast","run_id":"r1","type":"recv"})");
  EXPECT_EQ(
      encode_event(started_event(10, 4294967295u, "ls", "r1")),
      R"({"backend_pid":10,"child_pid":4294967295,"command":"ls","run_id":"r1","type":"started"})");
  EXPECT_EQ(encode_event(output_event("stdout", "r1", "hi\n")),
            R"({"data":"hi\n","run_id":"r1","stdout":"hi\n","type":"stdout"})");
  EXPECT_EQ(encode_event(output_event("stderr", "r1", "e")),
            R"({"data":"e","run_id":"r1","stderr":"e","type":"stderr"})");
  EXPECT_EQ(encode_event(exit_event("r1", 130)),
            R"({"exit_code":130,"run_id":"r1","type":"exit"})");
  Event custom{
      {"zeta", std::int64_t{-1}}, {"alpha", std::string_view("x")}, {"al", std::int64_t{0}}};
  EXPECT_EQ(encode_event(custom), R"({"al":0,"alpha":"x","zeta":-1})");
}

}  // namespace
}  // namespace zelta
