// Lines read during a run: which are carried out, dropped, or kept for later.
#include "supervise/run_input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelta {
namespace {

TEST(RunInput, EachLineIsCarriedOutDroppedOrKept) {
  struct Case {
    std::string line;
    RunLineUse use;
  };
  const Case cases[] = {
      {"{\"type\":\"run.signal\",\"run_id\":\"r\"}\n", RunLineUse::kDispatch},
      {" \t{\"type\":\"stdin.write\",\"run_id\":\"r\",\"data\":\"x\"}\r\n", RunLineUse::kDispatch},
      {"{\"type\":\"stream.flush\",\"run_id\":\"r\"}\n", RunLineUse::kDispatch},
      {"{\"type\":\"run.resize\",\"run_id\":\"r\",\"rows\":3}\n", RunLineUse::kDispatch},
      {"{\"type\":\"run.signal\",\"run_id\":\"other\"}\n", RunLineUse::kDrop},
      {"{\"type\":\"run.signal\"}\n", RunLineUse::kDrop},
      {"{\"type\":\"run.ast\",\"run_id\":\"r\"}\n", RunLineUse::kKeep},
      {"{\"type\":\"read_file\",\"path\":\"/x\"}\n", RunLineUse::kKeep},
      {"{\"type\":\"run.signals\",\"run_id\":\"r\"}\n", RunLineUse::kKeep},
      {"not json\n", RunLineUse::kKeep},
      {"\n", RunLineUse::kKeep},
      {"{\"type\":\"run.signal\",\"run_id\":\"r\"}\xff\n", RunLineUse::kKeep},
      // Control requests that do not decode are dropped, as they always were;
      // a line that only mentions such a type, or is no object, is kept.
      {"{\"type\":\"run.resize\",\"run_id\":\"r\",\"rows\":65536}\n", RunLineUse::kDrop},
      {"{\"run_id\":\"r\",\"data\":7,\"type\":\"stdin.write\"}\n", RunLineUse::kDrop},
      {"{\"type\":\"run.pause\",\"run_id\":[1]}\n", RunLineUse::kDrop},
      {"{\"type\":\"run.signal\",\"run_id\":\"r\"\n", RunLineUse::kKeep},
      {"{\"a\":{\"type\":\"run.signal\"},\"type\":7}\n", RunLineUse::kKeep},
      {"[{\"type\":\"run.signal\"}]\n", RunLineUse::kKeep},
      {"{\"type\":\"read_file\",\"path\":7}\n", RunLineUse::kKeep},
  };
  for (const Case& c : cases) {
    std::optional<Request> request;
    EXPECT_EQ(classify_run_line(c.line, "r", request), c.use) << c.line;
    EXPECT_EQ(request.has_value(), c.use == RunLineUse::kDispatch) << c.line;
  }
}

TEST(RunInput, KeptLinesAndTheIncompleteRestReachTheServiceLoopInOrder) {
  (void)take_carried_input();
  std::string buffer =
      "{\"type\":\"glob\"}\n"
      "{\"type\":\"run.signal\",\"run_id\":\"r\",\"signal\":\"TERM\"}\n"
      "{\"type\":\"run.signal\",\"run_id\":\"x\"}\n"
      "bad\n"
      "{\"type\":\"read";
  std::size_t scanned = 0;
  std::vector<std::string> dispatched;
  serve_run_lines(buffer, scanned, "r",
                  [&](const Request& request) { dispatched.push_back(*request.signal); });
  EXPECT_EQ(dispatched, std::vector<std::string>{"TERM"});
  EXPECT_EQ(buffer, "{\"type\":\"read");
  EXPECT_EQ(scanned, buffer.size());
  // The rest joins what comes next; a later line is kept after the earlier ones.
  buffer += "_file\"}\n";
  serve_run_lines(buffer, scanned, "r", [&](const Request&) { FAIL(); });
  EXPECT_TRUE(buffer.empty());
  carry_input("{\"type\":\"glo");
  EXPECT_EQ(take_carried_input(),
            "{\"type\":\"glob\"}\nbad\n{\"type\":\"read_file\"}\n{\"type\":\"glo");
  EXPECT_EQ(take_carried_input(), "");
}

}  // namespace
}  // namespace zelta
