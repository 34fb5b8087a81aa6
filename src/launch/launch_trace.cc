#include "launch/launch_trace.h"

#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace zelta {
namespace {

struct Range {
  char32_t first, last;
};

// Characters written as \u{...} besides the ASCII controls: C1 controls,
// invisible format characters, combining marks, variation selectors and
// private-use characters, which would otherwise be invisible or attach to the
// preceding quote.
constexpr Range kEscaped[] = {
    {0x7F, 0x9F},       {0xAD, 0xAD},       {0x300, 0x36F},     {0x483, 0x489},
    {0x591, 0x5BD},     {0x5BF, 0x5BF},     {0x5C1, 0x5C2},     {0x5C4, 0x5C5},
    {0x5C7, 0x5C7},     {0x600, 0x605},     {0x610, 0x61A},     {0x61C, 0x61C},
    {0x64B, 0x65F},     {0x670, 0x670},     {0x6D6, 0x6DD},     {0x6DF, 0x6E4},
    {0x6E7, 0x6E8},     {0x6EA, 0x6ED},     {0x70F, 0x70F},     {0x900, 0x903},
    {0x93A, 0x93C},     {0x93E, 0x94F},     {0x951, 0x957},     {0x962, 0x963},
    {0x180B, 0x180F},   {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x200B, 0x200F},
    {0x2028, 0x202E},   {0x2060, 0x206F},   {0x20D0, 0x20FF},   {0x302A, 0x302F},
    {0x3099, 0x309A},   {0xD800, 0xDFFF},   {0xE000, 0xF8FF},   {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x1D165, 0x1D169},
    {0x1D16D, 0x1D172}, {0x1D173, 0x1D182}, {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
};

bool needs_unicode_escape(char32_t c) {
  if (c < 0x20) return true;
  for (const Range& r : kEscaped) {
    if (c >= r.first && c <= r.last) return true;
  }
  return false;
}

// Decodes one character at text[i], advancing i; an ill-formed byte counts as
// U+FFFD (request texts are valid UTF-8, so this is only a safeguard).
char32_t next_char(std::string_view text, std::size_t& i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  int length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || i + length > text.size()) {
    ++i;
    return lead < 0x80 ? lead : 0xFFFD;
  }
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (int k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  i += length;
  return c;
}

void append_list(std::string& out, std::size_t count, auto&& item) {
  out += '[';
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) out += ", ";
    item(i);
  }
  out += ']';
}

}  // namespace

std::string trace_quote(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t start = i;
    char32_t c = next_char(text, i);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case 0:
        out += "\\0";
        continue;
      default:
        break;
    }
    if (!needs_unicode_escape(c)) {
      out.append(text, start, i - start);
      continue;
    }
    char digits[8];
    int n = 0;
    do {
      digits[n++] = kHex[c & 0xF];
      c >>= 4;
    } while (c != 0);
    out += "\\u{";
    while (n > 0) out += digits[--n];
    out += '}';
  }
  out += '"';
  return out;
}

std::string format_launch_trace(std::string_view command, const std::vector<std::string>& args,
                                const std::vector<Redirect>& redirects) {
  std::string line = "[zelta-stdio] command=";
  line += command;
  line += " args=";
  append_list(line, args.size(), [&](std::size_t i) { line += trace_quote(args[i]); });
  line += " redirects=";
  append_list(line, redirects.size(), [&](std::size_t i) {
    const Redirect& r = redirects[i];
    line += "Redirect { fd: ";
    line += r.fd ? "Some(" + std::to_string(*r.fd) + ")" : std::string("None");
    line += ", kind: ";
    line += redirect_kind_name(r.kind);
    line += ", file: ";
    line += trace_quote(r.file);
    line += " }";
  });
  line += '\n';
  return line;
}

void trace_launch(std::string_view command, const std::vector<std::string>& args,
                  const std::vector<Redirect>& redirects) {
  const char* flag = std::getenv("ZELTA_STDIO_DEBUG_REDIRECTS");
  if (flag == nullptr || std::string_view(flag) != "1") return;
  std::string line = format_launch_trace(command, args, redirects);
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t n = ::write(2, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace zelta
