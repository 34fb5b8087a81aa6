#include "protocol/messages.h"

namespace zelta {

Reply error_reply(std::string text) {
  Reply reply;
  reply.exit_code = 1;
  reply.error = std::move(text);
  return reply;
}

Event recv_event(std::string_view msg_type, std::string_view run_id) {
  return {{"msg_type", msg_type}, {"run_id", run_id}, {"type", std::string_view("recv")}};
}

Event started_event(std::uint32_t backend_pid, std::uint32_t child_pid, std::string_view command,
                    std::string_view run_id) {
  return {{"backend_pid", std::int64_t{backend_pid}},
          {"child_pid", std::int64_t{child_pid}},
          {"command", command},
          {"run_id", run_id},
          {"type", std::string_view("started")}};
}

Event output_event(std::string_view stream, std::string_view run_id, std::string_view text) {
  return {{"data", text}, {"run_id", run_id}, {stream, text}, {"type", stream}};
}

Event exit_event(std::string_view run_id, std::uint32_t exit_code) {
  return {{"exit_code", std::int64_t{exit_code}},
          {"run_id", run_id},
          {"type", std::string_view("exit")}};
}

Event exit_event(std::string_view run_id, std::uint32_t exit_code, std::string_view signal,
                 bool core_dumped) {
  Event event = exit_event(run_id, exit_code);
  event.emplace("signal", signal);
  if (core_dumped) event.emplace("core_dumped", true);
  return event;
}

Event foreground_event(std::string_view run_id, std::optional<std::int64_t> pid,
                       std::optional<std::string_view> name, std::optional<std::string_view> cwd) {
  Event event{{"run_id", run_id}, {"type", std::string_view("foreground")}};
  if (pid) event.emplace("pid", *pid);
  if (name) event.emplace("name", *name);
  if (cwd) event.emplace("cwd", *cwd);
  return event;
}

std::string encode_reply(const Reply& reply) {
  std::string out;
  StringSink sink{out};
  write_reply_to(sink, reply);
  return out;
}

std::string encode_event(const Event& event) {
  std::string out;
  StringSink sink{out};
  write_event_to(sink, event);
  return out;
}

}  // namespace zelta
