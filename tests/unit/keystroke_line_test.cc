// Keystroke lines read without the general decoder: what they are taken to
// mean, checked against the decoder on written cases and on many mutations.
#include "loop/keystroke_line.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "loop/run_lines.h"
#include "protocol/request_decoder.h"
#include "protocol/utf8.h"
#include "protocol/white_space.h"

namespace zelta {
namespace {

// The fast path either declines or agrees with the decoder on the whole
// meaning of the line; returns whether it recognised the line.
bool recognised_as_decoded(const std::string& line) {
  KeystrokeLine keys;
  if (!match_keystroke_line(line, keys)) return false;
  EXPECT_TRUE(is_valid_utf8(line)) << line;
  auto decoded = decode_request(trim_white_space(line));
  EXPECT_TRUE(decoded.ok()) << line;
  if (!decoded) return true;
  EXPECT_EQ(decoded->type, "stdin.write") << line;
  EXPECT_EQ(decoded->run_id.value_or("\x01"), keys.run_id) << line;
  EXPECT_EQ(decoded->data.value_or("\x01"), keys.data) << line;
  EXPECT_FALSE(decoded->base64) << line;
  return true;
}

TEST(KeystrokeLine, PlainFormsAreReadAndEverythingElseIsLeftToTheDecoder) {
  struct Case {
    std::string line;
    bool recognised;
    std::string data;
  };
  const Case cases[] = {
      {R"({"type":"stdin.write","run_id":"r1","data":"x"})"
       "\n",
       true, "x"},
      {" \t{ \"data\" : \"ab\" ,\"run_id\":\"r1\", \"type\":\"stdin.write\" }\r\n", true, "ab"},
      {R"({"run_id":"r1","type":"stdin.write","data":"\u0003\u007f\r\t\"\\\/\b\f\n"})", true,
       "\x03\x7f\r\t\"\\/\b\f\n"},
      {R"({"type":"stdin.write","run_id":"r1","data":"\u00e9\u20ac\ud83d\ude00\u0000"})", true,
       std::string("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\0", 10)},
      {R"({"type":"stdin.write","run_id":"","data":""})", true, ""},
      // Left to the decoder: other members, repeated or missing ones, other
      // value types, escapes in names, raw non-ASCII, bad escapes, lone
      // surrogates, anything after the object.
      {R"({"type":"stdin.write","run_id":"r1","data":"x","base64":"eA=="})", false, ""},
      {R"({"type":"stdin.write","run_id":"r1","base64":"eA=="})", false, ""},
      {R"({"type":"stdin.write","run_id":"r1","data":"x","data":"y"})", false, ""},
      {R"({"type":"stdin.write","data":"x"})", false, ""},
      {R"({"type":"stdin.write","run_id":null,"data":"x"})", false, ""},
      {R"({"type":"stdin.write","run_id":"r1","data":7})", false, ""},
      {R"({"type":"stdin\u002ewrite","run_id":"r1","data":"x"})", false, ""},
      {R"({"\u0074ype":"stdin.write","run_id":"r1","data":"x"})", false, ""},
      {R"({"type":"run.signal","run_id":"r1","data":"x"})", false, ""},
      {"{\"type\":\"stdin.write\",\"run_id\":\"r1\",\"data\":\"\xc3\xa9\"}", false, ""},
      {R"({"type":"stdin.write","run_id":"r1","data":"\x"})", false, ""},
      {R"({"type":"stdin.write","run_id":"r1","data":"\ud83d"})", false, ""},
      {R"({"type":"stdin.write","run_id":"r1","data":"\ude00"})", false, ""},
      {R"({"type":"stdin.write","run_id":"r1","data":"\u12G4"})", false, ""},
      {"{\"type\":\"stdin.write\",\"run_id\":\"r1\",\"data\":\"a\tb\"}", false, ""},
      {R"({"type":"stdin.write","run_id":"r1","data":"x"}})", false, ""},
      {R"({"type":"stdin.write","run_id":"r1","data":"x")", false, ""},
      {R"({"type":"stdin.write","run_id":"r1","data":"x",})", false, ""},
      {"\v{\"type\":\"stdin.write\",\"run_id\":\"r1\",\"data\":\"x\"}", false, ""},
  };
  for (const Case& c : cases) {
    KeystrokeLine keys;
    EXPECT_EQ(match_keystroke_line(c.line, keys), c.recognised) << c.line;
    if (c.recognised) {
      EXPECT_EQ(keys.data, c.data) << c.line;
      EXPECT_TRUE(recognised_as_decoded(c.line));
    }
  }
}

TEST(KeystrokeLine, MutatedLinesAreReadOnlyAsTheDecoderReadsThem) {
  const std::string seeds[] = {
      R"({"type":"stdin.write","run_id":"r1","data":"x\u0003\ud83d\ude00\\"})",
      R"( {"data":"ab\"c","type":"stdin.write","run_id":"r-2"} )",
  };
  const std::string alphabet = "{}[]\":,\\/ \t\r\nuU0dDe8fFtrbn7x\x01\x7f\xc3\xa9";
  std::mt19937 random(12345);
  int recognised = 0;
  for (int i = 0; i < 50000; ++i) {
    std::string line = seeds[i % 2];
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
      const std::size_t at = random() % (line.size() + 1);
      const char c = alphabet[random() % alphabet.size()];
      switch (random() % 3) {
        case 0:
          line.insert(at, 1, c);
          break;
        case 1:
          if (at < line.size()) line.erase(at, 1);
          break;
        default:
          if (at < line.size()) line[at] = c;
          break;
      }
    }
    if (recognised_as_decoded(line)) ++recognised;
    if (::testing::Test::HasFailure()) break;
  }
  // The mutations must reach both sides of the fast path's border.
  EXPECT_GT(recognised, 1000);
}

TEST(KeystrokeLine, RunLinesTypeOwnKeysDropOthersAndDecodeTheRest) {
  struct Dispatch {
    std::string& typed;
    void operator()(const KeystrokeLine& keys) const { typed += "[" + keys.data + "]"; }
    void operator()(const Request& request) const { typed += "<" + request.type + ">"; }
  };
  const std::string lines[] = {
      "{\"type\":\"stdin.write\",\"run_id\":\"r\",\"data\":\"a\"}",
      "{\"type\":\"stdin.write\",\"run_id\":\"other\",\"data\":\"b\"}",
      "{\"type\":\"stdin.write\",\"run_id\":\"r\",\"base64\":\"Yw==\"}",
      "{\"type\":\"glob\"}",
      "{\"type\":\"stdin.write\",\"run_id\":\"r\",\"data\":\"d\"}\n",
  };
  const RunLineUse expected[] = {RunLineUse::kDispatch, RunLineUse::kDrop, RunLineUse::kDispatch,
                                 RunLineUse::kKeep, RunLineUse::kDispatch};
  std::string typed;
  for (std::size_t i = 0; i < std::size(lines); ++i) {
    EXPECT_EQ(route_run_line(lines[i], "r", Dispatch{typed}), expected[i]) << lines[i];
  }
  EXPECT_EQ(typed, "[a]<stdin.write>[d]");
}

}  // namespace
}  // namespace zelta
