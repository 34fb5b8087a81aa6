// Replies and events: the output lines of the protocol, built in one place.
#pragma once

#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/json_escape.h"

namespace zelta {

/// The answer to a top-level request. Written with its fields in the fixed
/// order exit_code, content, glob_matches, temp_path, error, extensions,
/// version; absent fields are left out.
struct Reply {
  std::int32_t exit_code = 0;
  std::optional<std::string> content;
  std::optional<std::vector<std::string>> glob_matches;
  std::optional<std::string> temp_path;
  std::optional<std::string> error;
  std::optional<std::vector<std::string>> extensions;
  std::optional<std::string> version;
};

/// A failure reply: exit_code 1 and the error text.
Reply error_reply(std::string text);

/// The value of one event member: an integer, a text or a boolean. Texts are
/// views: an Event is built, written and dropped while its texts are alive.
using EventValue = std::variant<std::int64_t, std::string_view, bool>;

/// An event: its members are written in ascending byte order of their keys.
using Event = std::map<std::string_view, EventValue>;

/// {"msg_type":...,"run_id":...,"type":"recv"}
Event recv_event(std::string_view msg_type, std::string_view run_id);
/// {"backend_pid":...,"child_pid":...,"command":...,"run_id":...,"type":"started"}
Event started_event(std::uint32_t backend_pid, std::uint32_t child_pid, std::string_view command,
                    std::string_view run_id);
/// {"data":T,"run_id":...,"<stream>":T,"type":"<stream>"}; stream is "stdout" or "stderr".
Event output_event(std::string_view stream, std::string_view run_id, std::string_view text);
/// {"exit_code":...,"run_id":...,"type":"exit"}
Event exit_event(std::string_view run_id, std::uint32_t exit_code);
/// The same with the signal that ended the run, named without "SIG":
/// {"core_dumped":true,"exit_code":...,"run_id":...,"signal":"INT","type":"exit"},
/// "core_dumped" only when a core was written.
Event exit_event(std::string_view run_id, std::uint32_t exit_code, std::string_view signal,
                 bool core_dumped);
/// {"cwd":...,"name":...,"pid":...,"run_id":...,"type":"foreground"}: the
/// leader of a terminal's foreground process group; each of pid, name and
/// cwd is left out when absent.
Event foreground_event(std::string_view run_id, std::optional<std::int64_t> pid,
                       std::optional<std::string_view> name, std::optional<std::string_view> cwd);

/// Writes the compact JSON of a reply (no line feed) to `sink`.
template <class Sink>
void write_reply_to(Sink& sink, const Reply& reply);
/// Writes the compact JSON of an event (no line feed) to `sink`.
template <class Sink>
void write_event_to(Sink& sink, const Event& event);

/// The line text of a reply, without its line feed.
std::string encode_reply(const Reply& reply);
/// The line text of an event, without its line feed.
std::string encode_event(const Event& event);

// ---------------------------------------------------------------------------

namespace messages_detail {

template <class Sink>
void write_integer(Sink& sink, std::int64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  sink.append(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

template <class Sink>
void write_key(Sink& sink, bool& first, std::string_view key) {
  sink.append(first ? "{\"" : ",\"", 2);
  first = false;
  sink.append(key.data(), key.size());
  sink.append("\":", 2);
}

template <class Sink>
void write_string_array(Sink& sink, const std::vector<std::string>& strings) {
  sink.append("[", 1);
  bool first = true;
  for (const std::string& text : strings) {
    if (!first) sink.append(",", 1);
    first = false;
    write_json_string(sink, text);
  }
  sink.append("]", 1);
}

}  // namespace messages_detail

template <class Sink>
void write_reply_to(Sink& sink, const Reply& reply) {
  using namespace messages_detail;
  bool first = true;
  write_key(sink, first, "exit_code");
  write_integer(sink, reply.exit_code);
  if (reply.content) {
    write_key(sink, first, "content");
    write_json_string(sink, *reply.content);
  }
  if (reply.glob_matches) {
    write_key(sink, first, "glob_matches");
    write_string_array(sink, *reply.glob_matches);
  }
  if (reply.temp_path) {
    write_key(sink, first, "temp_path");
    write_json_string(sink, *reply.temp_path);
  }
  if (reply.error) {
    write_key(sink, first, "error");
    write_json_string(sink, *reply.error);
  }
  if (reply.extensions) {
    write_key(sink, first, "extensions");
    write_string_array(sink, *reply.extensions);
  }
  if (reply.version) {
    write_key(sink, first, "version");
    write_json_string(sink, *reply.version);
  }
  sink.append("}", 1);
}

template <class Sink>
void write_event_to(Sink& sink, const Event& event) {
  using namespace messages_detail;
  bool first = true;
  for (const auto& [key, value] : event) {
    write_key(sink, first, key);
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
      write_integer(sink, *number);
    } else if (const bool* flag = std::get_if<bool>(&value)) {
      if (*flag) {
        sink.append("true", 4);
      } else {
        sink.append("false", 5);
      }
    } else {
      write_json_string(sink, std::get<std::string_view>(value));
    }
  }
  if (first) sink.append("{", 1);
  sink.append("}", 1);
}

}  // namespace zelta
