// Glob patterns compiled into path components, and the matcher of one name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/result.h"

namespace zelta {

/// One element of a wildcard component.
struct GlobToken {
  enum class Kind : std::uint8_t {
    kText,     // `text`, byte for byte
    kAnyChar,  // "?": exactly one character
    kStar,     // "*": any run of characters, also none
    kClass,    // "[...]" or "[!...]": one character in (or not in) `ranges`
  };
  Kind kind = Kind::kText;
  bool negated = false;
  std::string text;
  /// Inclusive code point ranges; a single character is a range of one.
  std::vector<std::pair<char32_t, char32_t>> ranges;
};

/// One path component of a compiled pattern.
class GlobComponent {
 public:
  enum class Kind : std::uint8_t {
    kLiteral,    // no wildcard: looked up by name, never by listing
    kWildcard,   // matched against the names of a listing
    kRecursive,  // "**": zero or more directory levels
  };

  /// Compiles one component (no "/" inside); fails on the invalid forms.
  static Result<GlobComponent> compile(std::string_view text);

  Kind kind() const { return kind_; }
  /// The component as written.
  const std::string& text() const { return text_; }
  /// True when the entries "." and ".." are candidates for this component:
  /// it begins with a literal ".".
  bool considers_dot_entries() const { return dot_entries_; }

  /// True when `name` (one directory entry, no "/") matches. A literal
  /// compares bytes; a wildcard never matches a name that is not valid UTF-8.
  /// Never allocates.
  bool matches(std::string_view name) const;

 private:
  // Common wildcard shapes answered without the general matcher.
  enum class Shape : std::uint8_t { kGeneral, kAll, kPrefix, kSuffix };

  bool matches_tokens(std::string_view name) const;

  Kind kind_ = Kind::kLiteral;
  Shape shape_ = Shape::kGeneral;
  bool dot_entries_ = false;
  std::string text_;
  std::string affix_;  // the text of kPrefix / kSuffix shapes
  std::vector<GlobToken> tokens_;
};

/// A whole compiled pattern: an optional root "/", its components, and
/// whether a trailing "/" restricts matches to directories. Consecutive
/// "**" components are merged into one.
struct GlobPattern {
  bool absolute = false;
  bool directories_only = false;
  std::vector<GlobComponent> components;
};

/// Compiles a pattern. Fails when a "**" is not a whole component, when three
/// or more "*" follow each other, when a "[" opens no well-formed class (a
/// class cannot contain "/"), or when the pattern holds a NUL byte (no path
/// can contain one).
Result<GlobPattern> compile_glob(std::string_view pattern);

}  // namespace zelta
