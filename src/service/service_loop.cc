#include "service/service_loop.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "loop/event_loop.h"
#include "loop/heap_release.h"
#include "protocol/output.h"
#include "protocol/request_decoder.h"
#include "protocol/system_error.h"
#include "protocol/utf8.h"
#include "service/run_handler.h"
#include "service/services/glob_service.h"
#include "service/services/hello_service.h"
#include "service/services/process_subst_service.h"
#include "service/services/read_file_service.h"

namespace zelta {
namespace {

bool is_run_request(std::string_view type) {
  return type == "run.ast" || type == "execute" || type == "run.pipeline";
}

// Requests whose answer takes system work (file system, processes): output
// written before them is never held across them.
bool needs_system_work(std::string_view type) {
  return type == "run.ast" || type == "read_file" || type == "glob";
}

// The reply to a request whose serving ran out of memory: the error the
// request gives for a failed allocation of its own.
Reply out_of_memory_reply(std::string_view type) {
  const std::string text = system_error_text(ENOMEM);
  if (type == "read_file") return error_reply("Read error: " + text);
  if (type == "run.ast") return error_reply("spawn failed: " + text);
  return error_reply(text);
}

void serve_decoded_line(Result<Request>& decoded, bool more_waiting, std::string_view& type);

// Serves a line, decoded already when `predecoded` is given.
void serve_request_line(std::string_view line, Result<Request>* predecoded, bool more_waiting) {
  // First, so that it ends after everything the request held is freed.
  const HeapGiveBack give_back(line.size());
  // No request may end the executor: an allocation that fails while one is
  // served becomes its error reply, and the next one is served.
  std::string_view type;  // a static text
  try {
    if (predecoded != nullptr) {
      serve_decoded_line(*predecoded, more_waiting, type);
    } else {
      Result<Request> decoded = decode_request(line);
      serve_decoded_line(decoded, more_waiting, type);
    }
  } catch (const std::bad_alloc&) {
    write_reply(out_of_memory_reply(type));
  }
}

}  // namespace

void serve_line(std::string_view line, bool more_waiting) {
  serve_request_line(line, nullptr, more_waiting);
}

namespace {

void serve_decoded_line(Result<Request>& decoded, bool more_waiting, std::string_view& type) {
  hold_output(more_waiting && (!decoded || !needs_system_work(decoded.value().type)));
  if (!decoded) {
    write_reply(error_reply("Parse error"));
    return;
  }
  Request& request = decoded.value();
  // A static text: the request is gone by the time a failure is answered.
  for (std::string_view known : {"read_file", "run.ast"}) {
    if (request.type == known) type = known;
  }
  if (is_run_request(request.type) && request.run_id) {
    write_event(recv_event(request.type, *request.run_id));
  }
  if (request.type == "run.ast") {
    serve_run_ast(request);
  } else if (request.type == "read_file") {
    write_reply(read_file_service(request));
  } else if (request.type == "glob") {
    write_reply(glob_service(request));
  } else if (request.type == "process_subst") {
    write_reply(process_subst_service(request));
  } else if (request.type == "hello") {
    write_reply(hello_service(request));
  } else {
    write_reply(error_reply("Unknown: " + request.type));
  }
}

}  // namespace

void run_service_loop() {
  EventLoop loop(0, &serve_request_line);
  loop.serve();
}

}  // namespace zelta
