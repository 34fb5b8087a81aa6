// The texts of tree decoding faults.
#include "tree/decode_messages.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "protocol/utf8.h"
#include "tree/unicode_printable.h"

namespace zelta {
namespace {

// Decodes the scalar at `i` of well-formed UTF-8 and advances `i` past it.
char32_t next_scalar(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    i += 1;
    return lead;
  }
  if (lead < 0xE0) {
    const char32_t c = ((lead & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
    i += 2;
    return c;
  }
  if (lead < 0xF0) {
    const char32_t c =
        ((lead & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
    i += 3;
    return c;
  }
  const char32_t c = ((lead & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                     ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
  i += 4;
  return c;
}

// Runs `visit` on each scalar of `text`, decoding ill-formed input lossily
// first so the scalars are always well defined.
template <class Visit>
void for_each_scalar(std::string_view text, Visit&& visit) {
  std::string repaired;
  if (!is_valid_utf8(text)) {
    repaired = utf8_lossy(text);
    text = repaired;
  }
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const char32_t c = next_scalar(text, i);
    visit(c, text.substr(start, i - start));
  }
}

void append_hex(std::string& out, std::uint32_t value) {
  char buffer[8];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
  (void)ec;  // eight hexadecimal digits always fit a 32-bit value
  out.append(buffer, end);
}

template <class Integer>
void append_decimal(std::string& out, Integer value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;  // 24 characters hold every 64-bit value
  out.append(buffer, end);
}

std::string two_part_message(std::string_view head, std::string_view unexpected,
                             std::string_view expected) {
  std::string out;
  out.reserve(head.size() + unexpected.size() + expected.size() + 12);
  out.append(head).append(unexpected).append(", expected ").append(expected);
  return out;
}

}  // namespace

std::string missing_field_message(std::string_view field) {
  std::string out = "missing field `";
  out.append(field).append("`");
  return out;
}

std::string unknown_variant_message(std::string_view name,
                                    std::span<const std::string_view> kinds) {
  std::string out = "unknown variant `";
  if (is_valid_utf8(name)) {
    out.append(name);
  } else {
    append_utf8_lossy(out, name);
  }
  out.append("`, expected ");
  if (kinds.size() == 2) {
    out.append("`").append(kinds[0]).append("` or `").append(kinds[1]).append("`");
    return out;
  }
  out.append("one of ");
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    if (i > 0) out.append(", ");
    out.append("`").append(kinds[i]).append("`");
  }
  return out;
}

std::string type_error(const nlohmann::json& value, std::string_view expected) {
  return invalid_type_message(describe_value(value), expected);
}

std::string invalid_type_message(std::string_view unexpected, std::string_view expected) {
  return two_part_message("invalid type: ", unexpected, expected);
}

std::string value_error(const nlohmann::json& value, std::string_view expected) {
  return invalid_value_message(describe_value(value), expected);
}

std::string invalid_value_message(std::string_view unexpected, std::string_view expected) {
  return two_part_message("invalid value: ", unexpected, expected);
}

std::string invalid_length_message(std::size_t length, std::string_view expected) {
  std::string out = "invalid length ";
  append_decimal(out, length);
  out.append(", expected ").append(expected);
  return out;
}

std::string describe_value(const nlohmann::json& value) {
  using Type = nlohmann::json::value_t;
  std::string out;
  switch (value.type()) {
    case Type::null:
    case Type::discarded:
      return "null";
    case Type::boolean:
      return value.get<bool>() ? "boolean `true`" : "boolean `false`";
    case Type::number_integer:
      out = "integer `";
      append_decimal(out, value.get<std::int64_t>());
      out.append("`");
      return out;
    case Type::number_unsigned:
      out = "integer `";
      append_decimal(out, value.get<std::uint64_t>());
      out.append("`");
      return out;
    case Type::number_float:
      out = "floating point `";
      out.append(format_float(value.get<double>())).append("`");
      return out;
    case Type::string:
      append_string_description(out, value.get_ref<const std::string&>());
      return out;
    case Type::array:
    case Type::binary:
      return "sequence";
    case Type::object:
      return "map";
  }
  return "null";
}

std::string format_float(double value) {
  // JSON text cannot spell these; a value built in memory still gets a name.
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  std::string out;
  if (std::signbit(value)) out.push_back('-');
  const double magnitude = std::fabs(value);
  if (magnitude == 0) return out + "0.0";

  // The scientific form of to_chars holds the shortest round-trip digits:
  // "d[.ddd]e±XX". Take the digits and the exponent apart and lay them out.
  char buffer[32];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  (void)ec;  // 32 characters hold every double in this form
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  const std::size_t e_pos = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  std::string_view exponent_text = text.substr(e_pos + 1);
  if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  if (magnitude >= 1e-5 && magnitude < 1e16) {
    const int count = static_cast<int>(digits.size());
    if (exponent >= 0) {
      // Integer part: the first exponent + 1 digits, padded with zeros.
      const int whole = exponent + 1;
      if (count <= whole) {
        out.append(digits).append(static_cast<std::size_t>(whole - count), '0').append(".0");
      } else {
        out.append(digits, 0, static_cast<std::size_t>(whole))
            .append(".")
            .append(digits, static_cast<std::size_t>(whole));
      }
    } else {
      out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    }
    return out;
  }
  out.push_back(digits[0]);
  if (digits.size() > 1) out.append(".").append(digits, 1);
  out.push_back('e');
  append_decimal(out, exponent);
  return out;
}

void append_string_description(std::string& out, std::string_view text) {
  out.append("string \"");
  for_each_scalar(text, [&](char32_t c, std::string_view bytes) {
    switch (c) {
      case '"':
        out.append("\\\"");
        return;
      case '\\':
        out.append("\\\\");
        return;
      case '\t':
        out.append("\\t");
        return;
      case '\r':
        out.append("\\r");
        return;
      case '\n':
        out.append("\\n");
        return;
      case '\0':
        out.append("\\0");
        return;
      default:
        break;
    }
    if (is_printable_scalar(c)) {
      out.append(bytes);
    } else {
      out.append("\\u{");
      append_hex(out, static_cast<std::uint32_t>(c));
      out.append("}");
    }
  });
  out.append("\"");
}

std::optional<char32_t> single_scalar(std::string_view text) {
  // A scalar takes at most four bytes and an ill-formed subpart at most
  // three, so a longer text holds at least two characters.
  if (text.empty() || text.size() > 4) return std::nullopt;
  std::optional<char32_t> found;
  std::size_t count = 0;
  for_each_scalar(text, [&](char32_t c, std::string_view) {
    ++count;
    found = c;
  });
  if (count != 1) return std::nullopt;
  return found;
}

}  // namespace zelta
