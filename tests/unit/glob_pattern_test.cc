// Compiling glob patterns and matching single names against components.
#include "service/services/glob_pattern.h"

#include <gtest/gtest.h>

namespace zelta {
namespace {

TEST(GlobPattern, ValidAndInvalidForms) {
  struct Case {
    std::string pattern;
    bool valid;
  };
  const Case cases[] = {
      {"*", true},
      {"**", true},
      {"a/**/b", true},
      {"**/", true},
      {"/**", true},
      {"a**", false},
      {"**b", false},
      {"x/***", false},
      {"***", false},
      {"a/b**/c", false},
      {"[*]", true},
      {"[?]", true},
      {"[[]", true},
      {"[]]", true},
      {"[!]]", true},
      {"[]", false},
      {"[!]", false},
      {"[abc", false},
      {"a[/]b", false},  // a class never spans a "/"
      {"]", true},
      {"[**]", true},  // stars inside a class are plain characters
      {std::string("a\0b", 3), false},
      {"", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(compile_glob(c.pattern).ok(), c.valid) << c.pattern;
  }
}

TEST(GlobPattern, SplitsRootComponentsAndTrailingSlash) {
  auto p = compile_glob("/a//*/**/**/b/");
  ASSERT_TRUE(p.ok());
  EXPECT_TRUE(p->absolute);
  EXPECT_TRUE(p->directories_only);
  using K = GlobComponent::Kind;
  std::vector<std::pair<K, std::string>> got;
  for (const auto& c : p->components) got.emplace_back(c.kind(), c.text());
  // Consecutive "**" count as one; an empty component stays as written.
  const std::vector<std::pair<K, std::string>> expected = {{K::kLiteral, "a"},
                                                           {K::kLiteral, ""},
                                                           {K::kWildcard, "*"},
                                                           {K::kRecursive, "**"},
                                                           {K::kLiteral, "b"}};
  EXPECT_EQ(got, expected);

  auto relative = compile_glob("x/y");
  ASSERT_TRUE(relative.ok());
  EXPECT_FALSE(relative->absolute);
  EXPECT_FALSE(relative->directories_only);
  EXPECT_EQ(relative->components.size(), 2u);

  auto root = compile_glob("/");
  ASSERT_TRUE(root.ok());
  EXPECT_TRUE(root->absolute);
  EXPECT_TRUE(root->components.empty());
}

TEST(GlobComponent, MatchesNames) {
  struct Case {
    std::string component;
    std::string name;
    bool match;
  };
  const Case cases[] = {
      {"*", "anything", true},
      {"*", ".hidden", true},
      {"*", "", true},
      {"*.c", "main.c", true},
      {"*.c", "main.h", false},
      {"*.c", ".c", true},
      {"main*", "main.c", true},
      {"main*", "mai", false},
      {"?", "a", true},
      {"?", "ab", false},
      {"?", "", false},
      {"?", "\xc3\xa9", true},  // one character, two bytes
      {"??", "\xc3\xa9", false},
      {"a?c", "abc", true},
      {"a*b*c", "aXbYc", true},
      {"a*b*c", "abcbc", true},
      {"a*b*c", "acb", false},
      {"*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
      {"*ab", "aab", true},
      {"[abc]", "b", true},
      {"[abc]", "d", false},
      {"[!abc]", "d", true},
      {"[!abc]", "a", false},
      {"[a-c]x", "bx", true},
      {"[a-c]x", "dx", false},
      {"[]]", "]", true},
      {"[!]]", "]", false},
      {"[!]]", "a", true},
      {"[a-]", "-", true},
      {"[-a]", "-", true},
      {"[*]", "*", true},
      {"[*]", "a", false},
      {"[?]", "?", true},
      {"[[]", "[", true},
      {"[\xc3\xa0-\xc3\xbf]", "\xc3\xa9", true},  // ranges are over characters
      {"[\xc3\xa0-\xc3\xbf]", "e", false},
      {"*\xc3\xa9", "caf\xc3\xa9", true},
      {"?*", "\xc3\xa9", true},
      {"A*", "abc", false},     // case-sensitive
      {"*", "bad\xff", false},  // names that are not UTF-8 never match
      {"*.c", "bad\xff.c", false},
      {"[!a]", "\xff", false},
      {"]", "]", true},
      {"name", "name", true},  // literal
      {"name", "nam", false},
  };
  for (const auto& c : cases) {
    auto component = GlobComponent::compile(c.component);
    ASSERT_TRUE(component.ok()) << c.component;
    EXPECT_EQ(component->matches(c.name), c.match) << c.component << " vs " << c.name;
  }
}

TEST(GlobComponent, DotEntriesOnlyForLeadingLiteralDot) {
  struct Case {
    std::string component;
    bool dots;
  };
  const Case cases[] = {{".*", true},  {".git", true},  {"*", false},
                        {"?*", false}, {"[.]*", false}, {"a.*", false}};
  for (const auto& c : cases) {
    auto component = GlobComponent::compile(c.component);
    ASSERT_TRUE(component.ok());
    EXPECT_EQ(component->considers_dot_entries(), c.dots) << c.component;
  }
}

}  // namespace
}  // namespace zelta
