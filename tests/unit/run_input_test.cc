// Lines read during a run: which are carried out, dropped, or kept for later.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loop/run_lines.h"

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

TEST(RunInput, RoutedLinesAreCarriedOutDroppedOrKeptInOrder) {
  const std::string lines[] = {
      "{\"type\":\"glob\"}",
      "{\"type\":\"run.signal\",\"run_id\":\"r\",\"signal\":\"TERM\"}",
      "{\"type\":\"run.signal\",\"run_id\":\"x\"}",
      "bad",
      "{\"type\":\"stdin.write\",\"run_id\":\"r\",\"data\":\"k\"}",
      "{\"type\":\"read_file\"}",
  };
  std::vector<std::string> dispatched;
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    const RunLineUse use = route_run_line(line, "r", [&](const Request& request) {
      dispatched.push_back(request.type + ":" + request.signal.value_or(""));
    });
    if (use == RunLineUse::kKeep) kept.push_back(line);
  }
  EXPECT_EQ(dispatched, (std::vector<std::string>{"run.signal:TERM", "stdin.write:"}));
  EXPECT_EQ(kept, (std::vector<std::string>{lines[0], lines[3], lines[5]}));
}

}  // namespace
}  // namespace zelta
