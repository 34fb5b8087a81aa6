#include "service/services/glob_pattern.h"

#include <cstring>

#include "protocol/utf8.h"

namespace zelta {
namespace {

// Length of the UTF-8 sequence that `lead` begins (input already validated).
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Decodes the character at `p` of validated UTF-8 and stores its length.
char32_t decode(const char* p, std::size_t& length) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  length = sequence_length(u[0]);
  switch (length) {
    case 1:
      return u[0];
    case 2:
      return (char32_t{u[0] & 0x1Fu} << 6) | (u[1] & 0x3Fu);
    case 3:
      return (char32_t{u[0] & 0x0Fu} << 12) | (char32_t{u[1] & 0x3Fu} << 6) | (u[2] & 0x3Fu);
    default:
      return (char32_t{u[0] & 0x07u} << 18) | (char32_t{u[1] & 0x3Fu} << 12) |
             (char32_t{u[2] & 0x3Fu} << 6) | (u[3] & 0x3Fu);
  }
}

bool has_wildcard(std::string_view text) {
  return text.find_first_of("*?[") != std::string_view::npos;
}

// Parses the class whose "[" is at text[pos]; on success stores the token and
// the position after its "]".
bool parse_class(std::string_view text, std::size_t& pos, GlobToken& token) {
  std::size_t p = pos + 1;
  token.kind = GlobToken::Kind::kClass;
  if (p < text.size() && text[p] == '!') {
    token.negated = true;
    ++p;
  }
  bool first = true;
  for (;;) {
    if (p >= text.size()) return false;
    if (text[p] == ']' && !first) {
      pos = p + 1;
      return true;
    }
    first = false;
    std::size_t length;
    const char32_t low = decode(text.data() + p, length);
    p += length;
    char32_t high = low;
    if (p + 1 < text.size() && text[p] == '-' && text[p + 1] != ']') {
      high = decode(text.data() + p + 1, length);
      p += 1 + length;
    }
    token.ranges.emplace_back(low, high);
  }
}

bool class_matches(const GlobToken& token, char32_t c) {
  bool in_set = false;
  for (const auto& [low, high] : token.ranges) {
    if (c >= low && c <= high) {
      in_set = true;
      break;
    }
  }
  return in_set != token.negated;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::memcmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         std::memcmp(text.data() + text.size() - suffix.size(), suffix.data(), suffix.size()) == 0;
}

}  // namespace

Result<GlobComponent> GlobComponent::compile(std::string_view text) {
  GlobComponent component;
  component.text_ = std::string(text);
  if (text == "**") {
    component.kind_ = Kind::kRecursive;
    return component;
  }
  if (!has_wildcard(text)) {
    component.kind_ = Kind::kLiteral;
    component.dot_entries_ = !text.empty() && text[0] == '.';
    return component;
  }
  component.kind_ = Kind::kWildcard;
  std::vector<GlobToken>& tokens = component.tokens_;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == '*') {
      std::size_t run = 1;
      while (pos + run < text.size() && text[pos + run] == '*') ++run;
      if (run > 2) return fail("wildcards are either regular `*` or recursive `**`");
      if (run == 2) return fail("recursive wildcards must form a single path component");
      tokens.push_back({GlobToken::Kind::kStar, false, {}, {}});
      ++pos;
    } else if (c == '?') {
      tokens.push_back({GlobToken::Kind::kAnyChar, false, {}, {}});
      ++pos;
    } else if (c == '[') {
      GlobToken token;
      if (!parse_class(text, pos, token)) return fail("invalid range pattern");
      tokens.push_back(std::move(token));
    } else {
      const std::size_t end = std::min(text.find_first_of("*?[", pos), text.size());
      if (!tokens.empty() && tokens.back().kind == GlobToken::Kind::kText) {
        tokens.back().text.append(text.substr(pos, end - pos));
      } else {
        tokens.push_back(
            {GlobToken::Kind::kText, false, std::string(text.substr(pos, end - pos)), {}});
      }
      pos = end;
    }
  }
  component.dot_entries_ = tokens[0].kind == GlobToken::Kind::kText && tokens[0].text[0] == '.';

  using K = GlobToken::Kind;
  if (tokens.size() == 1 && tokens[0].kind == K::kStar) {
    component.shape_ = Shape::kAll;
  } else if (tokens.size() == 2 && tokens[0].kind == K::kStar && tokens[1].kind == K::kText) {
    component.shape_ = Shape::kSuffix;
    component.affix_ = tokens[1].text;
  } else if (tokens.size() == 2 && tokens[0].kind == K::kText && tokens[1].kind == K::kStar) {
    component.shape_ = Shape::kPrefix;
    component.affix_ = tokens[0].text;
  }
  return component;
}

bool GlobComponent::matches(std::string_view name) const {
  switch (kind_) {
    case Kind::kLiteral:
      return name == text_;
    case Kind::kRecursive:
      return false;
    case Kind::kWildcard:
      break;
  }
  // The cheap tests of the common shapes come first, so that most names are
  // rejected before they are checked for valid UTF-8.
  switch (shape_) {
    case Shape::kAll:
      return is_valid_utf8(name);
    case Shape::kPrefix:
      return starts_with(name, affix_) && is_valid_utf8(name);
    case Shape::kSuffix:
      return ends_with(name, affix_) && is_valid_utf8(name);
    case Shape::kGeneral:
      return is_valid_utf8(name) && matches_tokens(name);
  }
  return false;
}

// Left-to-right matching that, on a mismatch, retries from the most recent
// "*" with that star taking one more character. Retrying only the latest
// star suffices: everything before it has been matched as early as possible.
// Positions only ever land on character boundaries, because text tokens are
// valid UTF-8 and the name has been validated.
bool GlobComponent::matches_tokens(std::string_view name) const {
  const std::size_t count = tokens_.size();
  std::size_t t = 0, p = 0;
  std::size_t star_token = count, star_pos = 0;
  for (;;) {
    if (t == count && p == name.size()) return true;
    bool advanced = false;
    if (t < count) {
      const GlobToken& token = tokens_[t];
      switch (token.kind) {
        case GlobToken::Kind::kStar:
          star_token = t;
          star_pos = p;
          ++t;
          continue;
        case GlobToken::Kind::kText:
          if (starts_with(name.substr(p), token.text)) {
            p += token.text.size();
            advanced = true;
          }
          break;
        case GlobToken::Kind::kAnyChar:
          if (p < name.size()) {
            p += sequence_length(static_cast<unsigned char>(name[p]));
            advanced = true;
          }
          break;
        case GlobToken::Kind::kClass:
          if (p < name.size()) {
            std::size_t length;
            if (class_matches(token, decode(name.data() + p, length))) {
              p += length;
              advanced = true;
            }
          }
          break;
      }
    }
    if (advanced) {
      ++t;
      continue;
    }
    if (star_token == count || star_pos >= name.size()) return false;
    star_pos += sequence_length(static_cast<unsigned char>(name[star_pos]));
    p = star_pos;
    t = star_token + 1;
  }
}

Result<GlobPattern> compile_glob(std::string_view pattern) {
  if (pattern.find('\0') != std::string_view::npos) return fail("NUL byte in pattern");
  if (!is_valid_utf8(pattern)) return fail("pattern is not valid UTF-8");
  GlobPattern compiled;
  std::string_view rest = pattern;
  if (!rest.empty() && rest[0] == '/') {
    compiled.absolute = true;
    rest.remove_prefix(1);
  }
  if (!rest.empty() && rest.back() == '/') {
    compiled.directories_only = true;
    rest.remove_suffix(1);
  }
  // "/" alone, or an empty relative pattern, has no component at all.
  if (rest.empty()) return compiled;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = std::min(rest.find('/', start), rest.size());
    auto component = GlobComponent::compile(rest.substr(start, slash - start));
    if (!component) return fail(component.error());
    const bool repeated_recursion =
        component->kind() == GlobComponent::Kind::kRecursive && !compiled.components.empty() &&
        compiled.components.back().kind() == GlobComponent::Kind::kRecursive;
    if (!repeated_recursion) compiled.components.push_back(std::move(component.value()));
    if (slash == rest.size()) break;
    start = slash + 1;
  }
  return compiled;
}

}  // namespace zelta
