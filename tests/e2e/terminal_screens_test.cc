// Real programs in a real terminal (tmux), run once directly and once through stdio_client:
// the two screens must be identical after the program settles, after keys and after exit.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "screen_pair.h"

namespace zelta::testing {
namespace {

constexpr char kVim[] = "vim -u NONE -N -i NONE -n ";

class ScreensMatch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TmuxSession::available()) GTEST_SKIP() << "tmux is not installed";
  }
};

// `count` numbered lines mixing ASCII, accented letters, box drawing and wide characters;
// every seventh line is long enough to wrap in an 80-column window.
std::string mixed_text(int count) {
  static const std::vector<std::string> kTails = {"plain ASCII words", "ünïcødé façade",
                                                  "┌──┬──┐ │ ├──┼──┤", "中文字符 かな 한글",
                                                  "tab\there"};
  std::string text;
  for (int i = 1; i <= count; ++i) {
    const std::string number = std::to_string(i);
    text += "line " + std::string(3 - std::min<std::size_t>(3, number.size()), '0') + number + " " +
            kTails[i % kTails.size()];
    if (i % 7 == 0) text += " " + std::string(90, 'w') + " ╚═╝";
    text += '\n';
  }
  return text;
}

TEST_F(ScreensMatch, VimEditsAFile) {
  if (!have_program("vim")) GTEST_SKIP() << "vim is not installed";
  ScreenPair pair(80, 24);
  pair.write_file("notes.txt", mixed_text(30));
  pair.start(std::string(kVim) + "notes.txt");
  ASSERT_TRUE(pair.same_screens("\"notes.txt\" 30L"));
  pair.type("2G3dd");
  ASSERT_TRUE(pair.same_screens("3 fewer lines"));
  pair.type("onew line ─┼─ ñ 中文");
  ASSERT_TRUE(pair.same_screens("-- INSERT --"));
  pair.press("Escape");
  pair.type(":%s/line/LINE/g");
  pair.press("Enter");
  ASSERT_TRUE(pair.same_screens("substitutions on"));
  pair.type("G");
  pair.type(":w");
  pair.press("Enter");
  ASSERT_TRUE(pair.same_screens("written"));
  pair.type(":q");
  pair.press("Enter");
  ASSERT_TRUE(pair.same_screens("[exit 0]"));
  EXPECT_EQ(pair.direct_dir().read_file("notes.txt"), pair.client_dir().read_file("notes.txt"));
}

TEST_F(ScreensMatch, LessPagesAFile) {
  if (!have_program("less")) GTEST_SKIP() << "less is not installed";
  ScreenPair pair(80, 24);
  std::string text = mixed_text(300);
  text.insert(text.find("line 150 ") + 9, "target ");
  pair.write_file("pages.txt", text);
  pair.start("less pages.txt");
  ASSERT_TRUE(pair.same_screens("pages.txt"));
  const std::vector<std::pair<std::string, std::string>> steps = {
      {"Space", "line 040"}, {"/", "/"},        {"target", "target"}, {"Enter", "line 150 target"},
      {"G", "(END)"},        {"g", "line 001"}, {"q", "[exit 0]"}};
  for (const auto& [keys, needle] : steps) {
    if (keys == "Space" || keys == "Enter") {
      pair.press(keys);
    } else {
      pair.type(keys);
    }
    ASSERT_TRUE(pair.same_screens(needle)) << "after " << keys;
  }
}

TEST_F(ScreensMatch, InteractiveShell) {
  ScreenPair pair(80, 24);
  pair.start("exec sh -i");
  ASSERT_TRUE(pair.same_screens("$"));
  // Lines typed at the prompt, or keys, each with text that shows it has been handled.
  // The shell has job control: Ctrl-Z stops its job, fg brings it back. The job says
  // when it runs, and when it has been continued in the foreground (its trap runs
  // after the current sleep), so that no key reaches the terminal before its target
  // does: a Ctrl-Z or Ctrl-C that came earlier would go to the shell, which ignores it.
  const std::vector<std::pair<std::string, std::string>> lines = {
      {"echo $((6 * 7)) 'answers ─ ü'", "42 answers ─ ü"},
      {"printf '\\033[1;31mred\\033[0m \\033[7mreverse\\033[0m\\n'", "reverse"},
      {"seq 1 40", "\n40\n"},
      {"printf '%0150d\\n' 7", "0007\n"},
      {"printf 'no newline'", "no newline$"},
      {"sh -c \"trap 'echo cont-\\$((2*2))' CONT; echo job-\\$((6*7)); while :; do sleep 1; done\"",
       "job-42"},
      {"C-z", "Stopped"},
      {"fg", "cont-4"},
      {"C-c", "^C\n$"},
      {"exit 3", "[exit 3]"}};
  for (const auto& [line, needle] : lines) {
    if (line.starts_with("C-")) {
      pair.press(line);
    } else {
      pair.type(line);
      pair.press("Enter");
    }
    ASSERT_TRUE(pair.same_screens(needle)) << "after " << line;
  }
}

TEST_F(ScreensMatch, LargePastesIntoCat) {
  // About 100 KB in lines of 40 to 159 characters, so that many wrap.
  std::vector<std::string> lines;
  std::string text;
  for (int i = 0; text.size() < 100 * 1024; ++i) {
    lines.push_back("paste " + std::to_string(i) + " ü─ " +
                    std::string(40 + (i * 37) % 120, static_cast<char>('a' + i % 26)) + "\n");
    text += lines.back();
  }
  // With echo on, the paste goes in pieces, each once the direct window has shown the
  // echo of the one before: the terminal's echo buffer drops what a terminal slower
  // than the paste leaves unread, so tmux itself can lose echo of one large paste on a
  // busy machine. With echo off the whole paste goes at once.
  struct Case {
    const char* script;
    std::size_t piece;
  };
  for (const Case& c : {Case{"echo ready; cat > pasted.txt; wc -c < pasted.txt", 8 * 1024},
                        Case{"stty -echo; echo ready; tee pasted.txt; wc -c < pasted.txt", 0}}) {
    SCOPED_TRACE(c.script);
    ScreenPair pair(100, 30);
    pair.start(c.script);
    ASSERT_TRUE(pair.same_screens("ready"));
    std::string piece;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      piece += lines[i];
      if (i + 1 < lines.size() && (c.piece == 0 || piece.size() + lines[i + 1].size() <= c.piece)) {
        continue;
      }
      pair.paste(piece);
      piece.clear();
      ASSERT_TRUE(pair.direct().wait_for("paste " + std::to_string(i) + " ")) << i;
    }
    ASSERT_TRUE(pair.same_screens("paste " + std::to_string(lines.size() - 1) + " ", true));
    pair.press("C-d");
    ASSERT_TRUE(pair.same_screens("[exit 0]", true));
    EXPECT_EQ(pair.direct_dir().read_file("pasted.txt"), text);
    EXPECT_EQ(pair.client_dir().read_file("pasted.txt"), text);
  }
}

TEST_F(ScreensMatch, BoxDrawingScreenfulsInOneWrite) {
  // Each line fills the 80 columns exactly; together they are far more than one read.
  std::string text;
  const std::vector<std::string> cells = {"─", "│", "┼", "╬", "═", "█", "▒", "中", "字"};
  for (int row = 0; row < 150; ++row) {
    const std::string& cell = cells[row % cells.size()];
    const int width = cell == "中" || cell == "字" ? 2 : 1;
    for (int column = 0; column < 80; column += width) text += cell;
    text += '\n';
  }
  ScreenPair pair(80, 24);
  pair.write_file("boxes.txt", text);
  pair.start("cat boxes.txt");
  ASSERT_TRUE(pair.same_screens("[exit 0]", true));
}

// Octal escapes for printf of `bytes`.
std::string octal(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    text += {'\\', static_cast<char>('0' + c / 64), static_cast<char>('0' + c / 8 % 8),
             static_cast<char>('0' + c % 8)};
  }
  return text;
}

TEST_F(ScreensMatch, CharactersSplitAcrossWrites) {
  // Every character of 2, 3 and 4 bytes split at every position, a pause between the
  // pieces, and one character in three pieces.
  std::string script;
  for (const std::string character : {"é", "─", "中", "𝄞", "😀"}) {
    for (std::size_t at = 1; at < character.size(); ++at) {
      script += "printf '<" + octal(character.substr(0, at)) + "'; sleep 0.2; printf '" +
                octal(character.substr(at)) + ">\\n'; ";
    }
  }
  script += "printf '" + octal("\xe2") + "'; sleep 0.2; printf '" + octal("\x94") +
            "'; sleep 0.2; printf '" + octal("\x80") + "\\n'";
  ScreenPair pair(80, 24);
  pair.start(script);
  ASSERT_TRUE(pair.same_screens("[exit 0]", true));
}

TEST_F(ScreensMatch, VimRedrawsAfterWindowResizes) {
  if (!have_program("vim")) GTEST_SKIP() << "vim is not installed";
  ScreenPair pair(80, 24);
  pair.write_file("wide.txt", mixed_text(60));
  pair.start(std::string(kVim) + "wide.txt");
  ASSERT_TRUE(pair.same_screens("\"wide.txt\" 60L"));
  const std::vector<std::pair<int, int>> sizes = {{100, 30}, {60, 15}, {60, 40}, {120, 15}};
  for (const auto& [cols, rows] : sizes) {
    pair.resize(cols, rows);
    ASSERT_TRUE(pair.same_screens("size " + std::to_string(cols) + "x" + std::to_string(rows)))
        << cols << "x" << rows;
  }
  pair.type(":q");
  pair.press("Enter");
  ASSERT_TRUE(pair.same_screens("[exit 0]"));
}

TEST_F(ScreensMatch, ErasingAMultiByteCharacterInALine) {
  // The line editor of the terminal erases a whole character, not one byte of it.
  ScreenPair pair(80, 24);
  pair.start("echo ready; head -n 1");
  ASSERT_TRUE(pair.same_screens("ready"));
  pair.type("añ─b");
  pair.press("BSpace");
  pair.press("BSpace");
  pair.press("BSpace");
  pair.type("cd");
  pair.press("Enter");
  ASSERT_TRUE(pair.same_screens("[exit 0]"));
}

}  // namespace
}  // namespace zelta::testing
