// A strict JSON reader that reports each value to an event handler as it goes.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol/json_escape.h"
#include "protocol/utf8.h"

namespace zelta {

/// Reads `text` as exactly one JSON value (RFC 8259; whitespace is space, tab,
/// line feed and carriage return) and reports it to `handler` in document
/// order, stopping at the first event the handler refuses. The handler offers:
///   null(), boolean(bool), number_integer(std::int64_t) for integers with a
///   minus sign, number_unsigned(std::uint64_t) for the others,
///   number_float(double, const std::string&) for fractions, exponent forms and
///   integers beyond 64 bits, string(std::string&), key(std::string&),
///   start_object(std::size_t), end_object(), start_array(std::size_t),
///   end_array(), and syntax_error(const char*) for malformed text.
/// Each returns false to stop. Strings arrive unescaped, must be valid UTF-8
/// and may not hold raw control characters or unpaired surrogate escapes; a
/// number whose value is not finite is malformed. The string passed to
/// string() and key() may be moved from. Nesting is bounded only by the
/// handler, which must refuse to go deeper than the stack allows. Returns
/// true when the whole text was one value and every event was accepted.
template <class Handler>
bool read_json(std::string_view text, Handler& handler);

// ---------------------------------------------------------------------------

namespace json_reader_detail {

template <class Handler>
class Reader {
 public:
  Reader(std::string_view text, Handler& handler)
      : p_(text.data()), end_(text.data() + text.size()), handler_(handler) {}

  bool read() {
    skip_whitespace();
    if (!value()) return false;
    skip_whitespace();
    return p_ == end_ || error("text after the value");
  }

 private:
  bool error(const char* what) { return handler_.syntax_error(what); }

  void skip_whitespace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool value() {
    if (p_ == end_) return error("value expected");
    switch (*p_) {
      case '{':
        return object();
      case '[':
        return array();
      case '"':
        return string_token() && handler_.string(text_);
      case 't':
        return literal("true") && handler_.boolean(true);
      case 'f':
        return literal("false") && handler_.boolean(false);
      case 'n':
        return literal("null") && handler_.null();
      default:
        if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) return number();
        return error("value expected");
    }
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::memcmp(p_, word.data(), word.size()) != 0) {
      return error("invalid literal");
    }
    p_ += word.size();
    return true;
  }

  bool object() {
    ++p_;
    if (!handler_.start_object(static_cast<std::size_t>(-1))) return false;
    skip_whitespace();
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return handler_.end_object();
    }
    while (true) {
      if (p_ == end_ || *p_ != '"') return error("member name expected");
      if (!string_token() || !handler_.key(text_)) return false;
      skip_whitespace();
      if (p_ == end_ || *p_ != ':') return error("':' expected");
      ++p_;
      skip_whitespace();
      if (!value()) return false;
      skip_whitespace();
      if (p_ == end_) return error("',' or '}' expected");
      if (*p_ == '}') {
        ++p_;
        return handler_.end_object();
      }
      if (*p_ != ',') return error("',' or '}' expected");
      ++p_;
      skip_whitespace();
    }
  }

  bool array() {
    ++p_;
    if (!handler_.start_array(static_cast<std::size_t>(-1))) return false;
    skip_whitespace();
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      return handler_.end_array();
    }
    while (true) {
      if (!value()) return false;
      skip_whitespace();
      if (p_ == end_) return error("',' or ']' expected");
      if (*p_ == ']') {
        ++p_;
        return handler_.end_array();
      }
      if (*p_ != ',') return error("',' or ']' expected");
      ++p_;
      skip_whitespace();
    }
  }

  // Unescapes the string starting at the quote into text_.
  bool string_token() {
    ++p_;
    text_.clear();
    while (true) {
      // A run of bytes copied as they are: up to a quote, a backslash or a
      // control character. Runs end only at ASCII bytes, so checking each
      // run's UTF-8 on its own checks the whole string's.
      const std::size_t run = json_detail::plain_prefix(p_, end_);
      if (run != 0) {
        const std::string_view bytes(p_, run);
        if (!is_valid_utf8(bytes)) return error("invalid UTF-8 in string");
        text_.append(bytes);
        p_ += run;
      }
      if (p_ == end_) return error("unterminated string");
      const char c = *p_++;
      if (c == '"') return true;
      if (c != '\\') return error("control character in string");
      if (!escape()) return false;
    }
  }

  bool escape() {
    if (p_ == end_) return error("unterminated string");
    const char c = *p_++;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        text_.push_back(c);
        return true;
      case 'b':
        text_.push_back('\b');
        return true;
      case 'f':
        text_.push_back('\f');
        return true;
      case 'n':
        text_.push_back('\n');
        return true;
      case 'r':
        text_.push_back('\r');
        return true;
      case 't':
        text_.push_back('\t');
        return true;
      case 'u':
        return unicode_escape();
      default:
        return error("invalid escape");
    }
  }

  bool unicode_escape() {
    long code = json_detail::hex4(p_, end_);
    if (code < 0) return error("invalid \\u escape");
    if (code >= 0xDC00 && code <= 0xDFFF) return error("unpaired low surrogate");
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return error("unpaired high surrogate");
      p_ += 2;
      const long low = json_detail::hex4(p_, end_);
      if (low < 0xDC00 || low > 0xDFFF) return error("unpaired high surrogate");
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    json_detail::append_utf8(text_, static_cast<std::uint32_t>(code));
    return true;
  }

  bool digits() {
    const char* start = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ != start;
  }

  bool number() {
    const char* start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_) return error("digit expected");
    if (*p_ == '0') {
      ++p_;
    } else if (!digits()) {
      return error("digit expected");
    }
    bool integer = true;
    if (p_ != end_ && *p_ == '.') {
      ++p_;
      if (!digits()) return error("digit expected after '.'");
      integer = false;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!digits()) return error("digit expected in exponent");
      integer = false;
    }
    if (integer) {
      // Accumulate the magnitude; an integer beyond 64 bits is read as a
      // floating-point number instead.
      std::uint64_t magnitude = 0;
      bool fits = true;
      for (const char* d = start + (negative ? 1 : 0); d != p_; ++d) {
        const std::uint64_t digit = static_cast<std::uint64_t>(*d - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) {
          fits = false;
          break;
        }
        magnitude = magnitude * 10 + digit;
      }
      if (fits && !negative) return handler_.number_unsigned(magnitude);
      if (fits && magnitude <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
        return handler_.number_integer(static_cast<std::int64_t>(0 - magnitude));
      }
    }
    text_.assign(start, p_);
    const double value = std::strtod(text_.c_str(), nullptr);
    if (!std::isfinite(value)) return error("number out of range");
    return handler_.number_float(value, text_);
  }

  const char* p_;
  const char* const end_;
  Handler& handler_;
  std::string text_;  // the current string, key or number text
};

}  // namespace json_reader_detail

template <class Handler>
bool read_json(std::string_view text, Handler& handler) {
  return json_reader_detail::Reader<Handler>(text, handler).read();
}

}  // namespace zelta
