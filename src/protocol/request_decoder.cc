// One SAX pass over a request line: typed fields, shapes, and the raw ast tree.
#include "protocol/request_decoder.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "protocol/json_reader.h"

namespace zelta {
namespace {

using json = nlohmann::json;

// The keys of the request record. kUnknown marks a member that is skipped.
enum class Field : std::uint8_t {
  kType,
  kRunId,
  kCommand,
  kArgs,
  kRedirects,
  kCwd,
  kEnv,
  kSignal,
  kTimeoutMs,
  kAst,
  kPath,
  kPatterns,
  kRows,
  kCols,
  kData,
  kDirection,
  kCommands,
  kOperators,
  kStream,
  kTerminal,
  kExtensions,
  kEnvClear,
  kRawOutput,
  kBase64,
  kTerminalFd,
  kUnknown,
};

constexpr std::array<std::string_view, 25> kFieldNames = {
    "type",      "run_id",     "command",  "args",        "redirects", "cwd",      "env",
    "signal",    "timeout_ms", "ast",      "path",        "patterns",  "rows",     "cols",
    "data",      "direction",  "commands", "operators",   "stream",    "terminal", "extensions",
    "env_clear", "raw_output", "base64",   "terminal_fd",
};

Field field_for_key(std::string_view key) {
  // Names differ in their first byte or length mostly: compare the rest only
  // for those that match both.
  if (key.empty()) return Field::kUnknown;
  for (std::size_t i = 0; i < kFieldNames.size(); ++i) {
    const std::string_view name = kFieldNames[i];
    if (name.size() == key.size() && name[0] == key[0] &&
        std::memcmp(name.data() + 1, key.data() + 1, key.size() - 1) == 0) {
      return static_cast<Field>(i);
    }
  }
  return Field::kUnknown;
}

// Member keys of the two nested records; kOther is skipped.
enum class Member : std::uint8_t { kFd, kKind, kFile, kCommand, kArgs, kOther };

// What the next value in the current position must be.
enum class Slot : std::uint8_t {
  kTopObject,    // the whole line
  kField,        // the value of a top-level member (see Frame::field)
  kStringItem,   // an element of an array of strings
  kEnvValue,     // a value of the env object
  kRedirect,     // an element of "redirects"
  kFd,           // Redirect "fd": i32 or null
  kKind,         // Redirect "kind": "Name" or {"Name": null}
  kFile,         // Redirect "file": string
  kKindUnit,     // the null inside {"Name": null}
  kCommandItem,  // an element of "commands"
  kCommandWord,  // PipelineCommand "command": string
  kCommandArgs,  // PipelineCommand "args": array of strings or null
  kSkip,         // an ignored member: any value
  kAst,          // the ast member: any value, kept raw
  kTooMany,      // past the last element of an array form
};

enum class FrameKind : std::uint8_t {
  kTop,
  kStringArray,
  kEnv,
  kRedirects,
  kRedirectObject,
  kRedirectArray,
  kKindObject,
  kCommands,
  kCommandObject,
  kCommandArray,
};

// One open container of the typed part of the line.
// No member initialisers: the stack's slots stay uninitialised until pushed.
struct Frame {
  FrameKind kind;
  Field field;                        // kTop: the member whose value comes next
  Member member;                      // record objects: the member whose value comes next
  std::uint32_t index;                // array forms: position of the next element
  std::uint32_t seen;                 // record objects: bit per member seen
  std::vector<std::string>* strings;  // kStringArray: where elements go
};

// The open typed containers. The nesting limit bounds their number, so they
// live in place instead of on the heap (and a decode does not clear them).
class FrameStack {
 public:
  bool empty() const { return size_ == 0; }
  Frame& back() { return frames_[size_ - 1]; }
  void push_back(const Frame& frame) { frames_[size_++] = frame; }
  void pop_back() { --size_; }

 private:
  std::array<Frame, kMaxNestingDepth> frames_;
  std::size_t size_ = 0;
};

class RequestHandler {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  Request& request() { return request_; }
  std::string& error() { return error_; }
  // True once the whole top-level object has been decoded.
  bool complete() const { return complete_; }
  bool type_given() const { return type_given_; }

  bool null() {
    if (in_raw()) return raw_value(json(nullptr));
    if (skip_depth_ > 0) return true;
    switch (take_slot()) {
      case Slot::kField:        // an optional field stays absent
      case Slot::kAst:          // likewise
      case Slot::kFd:           // no descriptor
      case Slot::kCommandArgs:  // no arguments
      case Slot::kKindUnit:
      case Slot::kSkip:
        return true;
      default:
        return fail("unexpected null");
    }
  }

  bool boolean(bool value) {
    if (in_raw()) return raw_value(json(value));
    if (skip_depth_ > 0) return true;
    const Slot slot = take_slot();
    if (slot == Slot::kField) {
      switch (frames_.back().field) {
        case Field::kStream:
          request_.stream = value;
          return true;
        case Field::kTerminal:
          request_.terminal = value;
          return true;
        case Field::kEnvClear:
          request_.env_clear = value;
          return true;
        case Field::kRawOutput:
          request_.raw_output = value;
          return true;
        default:
          break;
      }
    }
    return scalar_in(slot, json(value), "unexpected boolean");
  }

  bool number_integer(number_integer_t value) {
    if (in_raw()) return raw_value(json(value));
    if (skip_depth_ > 0) return true;
    // The lexer reports only numbers with a minus sign this way, -0 included.
    if (value >= 0) return unsigned_value(static_cast<number_unsigned_t>(value), json(value));
    const Slot slot = take_slot();
    if (slot == Slot::kFd) {
      if (value < std::numeric_limits<std::int32_t>::min()) return fail("fd out of range");
      current_redirect().fd = static_cast<std::int32_t>(value);
      return true;
    }
    return scalar_in(slot, json(value), "unexpected negative integer");
  }

  bool number_unsigned(number_unsigned_t value) {
    if (in_raw()) return raw_value(json(value));
    if (skip_depth_ > 0) return true;
    return unsigned_value(value, json(value));
  }

  // Fractions, exponent forms and integers beyond 64 bits all land here.
  bool number_float(number_float_t value, const string_t&) {
    if (in_raw()) return raw_value(json(value));
    if (skip_depth_ > 0) return true;
    return other_scalar(json(value), "integer expected");
  }

  bool string(string_t& value) {
    if (in_raw()) return raw_value(json(std::move(value)));
    if (skip_depth_ > 0) return true;
    const Slot slot = take_slot();
    switch (slot) {
      case Slot::kField:
        return field_string(value);
      case Slot::kStringItem:
        frames_.back().strings->push_back(std::move(value));
        return true;
      case Slot::kEnvValue:
        request_.env->insert_or_assign(std::move(env_key_), std::move(value));
        return true;
      case Slot::kKind:
        return set_kind(value);
      case Slot::kFile:
        current_redirect().file = std::move(value);
        return true;
      case Slot::kCommandWord:
        request_.commands->back().command = std::move(value);
        return true;
      default:
        return scalar_in(slot, json(std::move(value)), "unexpected string");
    }
  }

  bool binary(binary_t&) { return fail("unexpected binary"); }

  bool start_object(std::size_t) {
    if (!enter()) return false;
    if (in_raw()) return raw_open(json::object());
    if (skip_depth_ > 0) return ++skip_depth_, true;
    switch (take_slot()) {
      case Slot::kTopObject:
        return push(FrameKind::kTop);
      case Slot::kField:
        if (frames_.back().field != Field::kEnv) return fail("unexpected object");
        request_.env.emplace();
        return push(FrameKind::kEnv);
      case Slot::kAst:
        return start_raw(json::object());
      case Slot::kRedirect:
        request_.redirects->emplace_back();
        return push(FrameKind::kRedirectObject);
      case Slot::kKind:
        return push(FrameKind::kKindObject);
      case Slot::kCommandItem:
        request_.commands->emplace_back();
        return push(FrameKind::kCommandObject);
      case Slot::kSkip:
        skip_depth_ = 1;
        return true;
      default:
        return fail("unexpected object");
    }
  }

  bool start_array(std::size_t) {
    if (!enter()) return false;
    if (in_raw()) return raw_open(json::array());
    if (skip_depth_ > 0) return ++skip_depth_, true;
    switch (take_slot()) {
      case Slot::kField:
        return field_array();
      case Slot::kAst:
        return start_raw(json::array());
      case Slot::kRedirect:
        request_.redirects->emplace_back();
        return push(FrameKind::kRedirectArray);
      case Slot::kCommandItem:
        request_.commands->emplace_back();
        return push(FrameKind::kCommandArray);
      case Slot::kCommandArgs:
        return push_strings(&request_.commands->back().args);
      case Slot::kSkip:
        skip_depth_ = 1;
        return true;
      default:
        return fail("unexpected array");
    }
  }

  bool key(string_t& key) {
    if (in_raw()) {
      // operator[] on an existing key reuses its slot: the last value wins.
      raw_slot_ = &(*raw_stack_.back())[std::move(key)];
      return true;
    }
    if (skip_depth_ > 0) return true;
    Frame& frame = frames_.back();
    switch (frame.kind) {
      case FrameKind::kTop: {
        frame.field = field_for_key(key);
        if (frame.field == Field::kUnknown) return true;
        const std::uint32_t bit = 1u << static_cast<unsigned>(frame.field);
        if (frame.seen & bit) return fail("duplicate key " + key);
        frame.seen |= bit;
        return true;
      }
      case FrameKind::kEnv:
        env_key_ = std::move(key);
        return true;
      case FrameKind::kRedirectObject:
        return record_key(frame, key == "fd"     ? Member::kFd
                                 : key == "kind" ? Member::kKind
                                 : key == "file" ? Member::kFile
                                                 : Member::kOther);
      case FrameKind::kCommandObject:
        return record_key(frame, key == "command" ? Member::kCommand
                                 : key == "args"  ? Member::kArgs
                                                  : Member::kOther);
      case FrameKind::kKindObject:
        if (frame.seen != 0) return fail("redirect kind object with more than one key");
        frame.seen = 1;
        return set_kind(key);
      default:
        return fail("unexpected key");
    }
  }

  bool end_object() {
    --depth_;
    if (in_raw()) return raw_close();
    if (skip_depth_ > 0) return --skip_depth_, true;
    const Frame& frame = frames_.back();
    switch (frame.kind) {
      case FrameKind::kTop:
        complete_ = true;
        break;
      case FrameKind::kRedirectObject:
        if (!has(frame, Member::kKind) || !has(frame, Member::kFile)) {
          return fail("redirect without kind or file");
        }
        break;
      case FrameKind::kKindObject:
        if (frame.seen == 0) return fail("empty redirect kind object");
        break;
      case FrameKind::kCommandObject:
        if (!has(frame, Member::kCommand)) return fail("pipeline command without command");
        break;
      default:
        break;
    }
    frames_.pop_back();
    return true;
  }

  bool end_array() {
    --depth_;
    if (in_raw()) return raw_close();
    if (skip_depth_ > 0) return --skip_depth_, true;
    const Frame& frame = frames_.back();
    if (frame.kind == FrameKind::kRedirectArray && frame.index != 3) {
      return fail("redirect array needs fd, kind and file");
    }
    if (frame.kind == FrameKind::kCommandArray && frame.index == 0) {
      return fail("pipeline command array without command");
    }
    frames_.pop_back();
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    return fail(error.what());
  }

  bool syntax_error(const char* what) { return fail(what); }

 private:
  bool fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
  }

  // Counts one more open container; refuses lines nested too deeply.
  bool enter() {
    if (++depth_ > kMaxNestingDepth) return fail("nested too deeply");
    return true;
  }

  // Integers without a sign: the u16 and u64 fields, a descriptor, or a
  // value that only the ast or an ignored member may hold.
  bool unsigned_value(number_unsigned_t value, json&& raw) {
    const Slot slot = take_slot();
    if (slot == Slot::kFd) {
      if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return fail("fd out of range");
      }
      current_redirect().fd = static_cast<std::int32_t>(value);
      return true;
    }
    if (slot != Slot::kField) return scalar_in(slot, std::move(raw), "unexpected integer");
    switch (frames_.back().field) {
      case Field::kTimeoutMs:
        request_.timeout_ms = value;
        return true;
      case Field::kRows:
      case Field::kCols:
        if (value > std::numeric_limits<std::uint16_t>::max()) return fail("size out of range");
        (frames_.back().field == Field::kRows ? request_.rows : request_.cols) =
            static_cast<std::uint16_t>(value);
        return true;
      case Field::kTerminalFd:
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
          return fail("terminal_fd out of range");
        }
        request_.terminal_fd = static_cast<std::int32_t>(value);
        return true;
      default:
        return fail("unexpected integer");
    }
  }

  bool other_scalar(json&& raw, const char* message) {
    return scalar_in(take_slot(), std::move(raw), message);
  }

  // A scalar where only the ast or an ignored member accepts it.
  bool scalar_in(Slot slot, json&& raw, const char* message) {
    if (slot == Slot::kSkip) return true;
    if (slot == Slot::kAst) {
      request_.ast = std::make_shared<const json>(std::move(raw));
      return true;
    }
    return fail(message);
  }

  // The expectation for the value that starts now; array positions advance.
  Slot take_slot() {
    if (frames_.empty()) return complete_ ? Slot::kTooMany : Slot::kTopObject;
    Frame& frame = frames_.back();
    switch (frame.kind) {
      case FrameKind::kTop:
        return frame.field == Field::kUnknown ? Slot::kSkip
               : frame.field == Field::kAst   ? Slot::kAst
                                              : Slot::kField;
      case FrameKind::kStringArray:
        return Slot::kStringItem;
      case FrameKind::kEnv:
        return Slot::kEnvValue;
      case FrameKind::kRedirects:
        return Slot::kRedirect;
      case FrameKind::kCommands:
        return Slot::kCommandItem;
      case FrameKind::kKindObject:
        return Slot::kKindUnit;
      case FrameKind::kRedirectObject:
      case FrameKind::kCommandObject:
        switch (frame.member) {
          case Member::kFd:
            return Slot::kFd;
          case Member::kKind:
            return Slot::kKind;
          case Member::kFile:
            return Slot::kFile;
          case Member::kCommand:
            return Slot::kCommandWord;
          case Member::kArgs:
            return Slot::kCommandArgs;
          case Member::kOther:
            return Slot::kSkip;
        }
        return Slot::kSkip;
      case FrameKind::kRedirectArray: {
        constexpr Slot kOrder[] = {Slot::kFd, Slot::kKind, Slot::kFile};
        return frame.index < 3 ? kOrder[frame.index++] : Slot::kTooMany;
      }
      case FrameKind::kCommandArray: {
        constexpr Slot kOrder[] = {Slot::kCommandWord, Slot::kCommandArgs};
        return frame.index < 2 ? kOrder[frame.index++] : Slot::kTooMany;
      }
    }
    return Slot::kTooMany;
  }

  bool push(FrameKind kind) {
    frames_.push_back(Frame{kind, Field::kUnknown, Member::kOther, 0, 0, nullptr});
    return true;
  }

  bool push_strings(std::vector<std::string>* target) {
    push(FrameKind::kStringArray);
    frames_.back().strings = target;
    return true;
  }

  static bool has(const Frame& frame, Member member) {
    return frame.seen & (1u << static_cast<unsigned>(member));
  }

  bool record_key(Frame& frame, Member member) {
    frame.member = member;
    if (member == Member::kOther) return true;
    if (has(frame, member)) return fail("duplicate key in record");
    frame.seen |= 1u << static_cast<unsigned>(member);
    return true;
  }

  Redirect& current_redirect() { return request_.redirects->back(); }

  bool set_kind(std::string_view name) {
    auto kind = redirect_kind_from_name(name);
    if (!kind) return fail("unknown redirect kind");
    current_redirect().kind = *kind;
    return true;
  }

  bool field_string(std::string& value) {
    std::optional<std::string>* target = nullptr;
    switch (frames_.back().field) {
      case Field::kType:
        request_.type = std::move(value);
        type_given_ = true;
        return true;
      case Field::kRunId:
        target = &request_.run_id;
        break;
      case Field::kCommand:
        target = &request_.command;
        break;
      case Field::kCwd:
        target = &request_.cwd;
        break;
      case Field::kSignal:
        target = &request_.signal;
        break;
      case Field::kPath:
        target = &request_.path;
        break;
      case Field::kData:
        target = &request_.data;
        break;
      case Field::kDirection:
        target = &request_.direction;
        break;
      case Field::kBase64:
        target = &request_.base64;
        break;
      default:
        return fail("unexpected string");
    }
    target->emplace(std::move(value));
    return true;
  }

  bool field_array() {
    switch (frames_.back().field) {
      case Field::kArgs:
        return push_strings(&request_.args.emplace());
      case Field::kPatterns:
        return push_strings(&request_.patterns.emplace());
      case Field::kOperators:
        return push_strings(&request_.operators.emplace());
      case Field::kExtensions:
        return push_strings(&request_.extensions.emplace());
      case Field::kRedirects:
        request_.redirects.emplace();
        return push(FrameKind::kRedirects);
      case Field::kCommands:
        request_.commands.emplace();
        return push(FrameKind::kCommands);
      default:
        return fail("unexpected array");
    }
  }

  // --- The raw ast tree, built in the same pass. ---------------------------

  bool in_raw() const { return !raw_stack_.empty(); }

  bool start_raw(json&& container) {
    ast_root_ = std::make_shared<json>(std::move(container));
    raw_stack_.push_back(ast_root_.get());
    return true;
  }

  // Where the next raw value goes: the member named by the last key, or a
  // new element of the open array.
  json* raw_target() {
    json* container = raw_stack_.back();
    if (container->is_array()) {
      container->push_back(nullptr);
      return &container->back();
    }
    return raw_slot_;
  }

  bool raw_value(json&& value) {
    *raw_target() = std::move(value);
    return true;
  }

  // Pointers to open containers stay valid: only the innermost container
  // grows, and map nodes never move.
  bool raw_open(json&& container) {
    json* target = raw_target();
    *target = std::move(container);
    raw_stack_.push_back(target);
    return true;
  }

  bool raw_close() {
    raw_stack_.pop_back();
    if (raw_stack_.empty()) request_.ast = std::move(ast_root_);
    return true;
  }

  Request request_;
  std::string error_;
  FrameStack frames_;
  std::string env_key_;
  int depth_ = 0;
  int skip_depth_ = 0;
  bool complete_ = false;
  bool type_given_ = false;
  std::vector<json*> raw_stack_;
  json* raw_slot_ = nullptr;
  std::shared_ptr<json> ast_root_;
};

// Decodes `line` with `parse`, which feeds the whole line to a handler.
template <class Parse>
Result<Request> decode_with(std::string_view line, Parse parse) {
  // Only an object can be a request: refuse anything else before the parser
  // is set up.
  const std::size_t first = line.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return fail("empty line");
  if (line[first] != '{') return fail("not an object");
  try {
    RequestHandler handler;
    if (!parse(line, handler)) return fail(std::move(handler.error()));
    if (!handler.complete()) return fail("not an object");
    if (!handler.type_given()) return fail("missing type");
    return std::move(handler.request());
  } catch (const std::exception& e) {
    return fail(std::string("decoder failure: ") + e.what());
  } catch (...) {
    return fail("decoder failure");
  }
}

}  // namespace

Result<Request> decode_request(std::string_view line) {
  return decode_with(line, [](std::string_view text, RequestHandler& handler) {
    return read_json(text, handler);
  });
}

Result<Request> decode_request_reference(std::string_view line) {
  // The library parser takes a raw NUL byte for the end of the text, which
  // would let `{"type":"a"}` followed by NUL and garbage through. JSON text
  // never holds one (inside strings it must be escaped; the reader refuses
  // it anywhere), so such a line is refused here.
  if (line.find('\0') != std::string_view::npos) return fail("raw NUL byte");
  return decode_with(line, [](std::string_view text, RequestHandler& handler) {
    return json::sax_parse(text.begin(), text.end(), &handler, json::input_format_t::json,
                           /*strict=*/true);
  });
}

}  // namespace zelta
