#include "loop/keystroke_line.h"

#include <cstdint>
#include <cstring>

#include "platform/hot_path.h"
#include "protocol/json_escape.h"

namespace zelta {
namespace {

class Scanner {
 public:
  explicit Scanner(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}

  void skip_white_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
  }
  bool take(char c) {
    skip_white_space();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool literal(std::string_view text) {
    if (static_cast<std::size_t>(end_ - p_) < text.size() ||
        std::memcmp(p_, text.data(), text.size()) != 0) {
      return false;
    }
    p_ += text.size();
    return true;
  }
  bool at_end() {
    skip_white_space();
    return p_ == end_;
  }

  // A string with no escape and ASCII only, as a view of the line.
  bool plain_string(std::string_view& out) {
    if (!take('"')) return false;
    const char* start = p_;
    while (p_ != end_ && *p_ != '"') {
      const auto c = static_cast<unsigned char>(*p_);
      if (c < 0x20 || c >= 0x80 || c == '\\') return false;
      ++p_;
    }
    if (p_ == end_) return false;
    out = std::string_view(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    return true;
  }

  // A string of ASCII and escapes, unescaped into `out`.
  bool string(std::string& out) {
    if (!take('"')) return false;
    out.clear();
    while (true) {
      const char* start = p_;
      while (p_ != end_) {
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++p_;
      }
      out.append(start, static_cast<std::size_t>(p_ - start));
      if (p_ == end_) return false;
      const char c = *p_++;
      if (c == '"') return true;
      if (c != '\\' || !escape(out)) return false;
    }
  }

 private:
  bool escape(std::string& out) {
    if (p_ == end_) return false;
    switch (*p_++) {
      case '"':
        out.push_back('"');
        return true;
      case '\\':
        out.push_back('\\');
        return true;
      case '/':
        out.push_back('/');
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'u':
        return unicode_escape(out);
      default:
        return false;
    }
  }

  bool unicode_escape(std::string& out) {
    long code = json_detail::hex4(p_, end_);
    if (code < 0 || (code >= 0xDC00 && code <= 0xDFFF)) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
      p_ += 2;
      const long low = json_detail::hex4(p_, end_);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    json_detail::append_utf8(out, static_cast<std::uint32_t>(code));
    return true;
  }

  const char* p_;
  const char* end_;
};

}  // namespace

ZELTA_HOT bool match_keystroke_line(std::string_view line, KeystrokeLine& out) {
  // The compact form with the members in this order, as most front ends
  // write it, is checked with one comparison before the general scan.
  constexpr std::string_view kCompactHead = "{\"type\":\"stdin.write\",\"run_id\":";
  constexpr std::string_view kCompactData = ",\"data\":";
  if (line.substr(0, kCompactHead.size()) == kCompactHead) {
    Scanner compact(line.substr(kCompactHead.size()));
    if (compact.plain_string(out.run_id) && compact.literal(kCompactData) &&
        compact.string(out.data) && compact.take('}') && compact.at_end()) {
      return true;
    }
  }
  Scanner scan(line);
  if (!scan.take('{')) return false;
  bool have_type = false, have_run = false, have_data = false;
  for (int member = 0; member < 3; ++member) {
    if (member > 0 && !scan.take(',')) return false;
    std::string_view key;
    if (!scan.plain_string(key) || !scan.take(':')) return false;
    if (key == "type" && !have_type) {
      std::string_view type;
      if (!scan.plain_string(type) || type != "stdin.write") return false;
      have_type = true;
    } else if (key == "run_id" && !have_run) {
      if (!scan.plain_string(out.run_id)) return false;
      have_run = true;
    } else if (key == "data" && !have_data) {
      if (!scan.string(out.data)) return false;
      have_data = true;
    } else {
      return false;
    }
  }
  return scan.take('}') && scan.at_end();
}

}  // namespace zelta
