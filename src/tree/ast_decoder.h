// Decoding of the raw JSON value of a request's tree into an AstNode.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string_view>

#include "protocol/request_decoder.h"
#include "protocol/result.h"
#include "tree/ast.h"

namespace zelta {

/// Deepest nesting of JSON arrays and objects the tree decoder descends
/// into. It equals the request line's own limit, and a tree read from a line
/// sits one level inside the request object, so every tree that arrives on
/// a line is within it; only values built in memory can exceed it.
inline constexpr int kMaxTreeNesting = kMaxNestingDepth;

/// The message for a value nested deeper than kMaxTreeNesting.
inline constexpr std::string_view kTreeTooDeepMessage = "recursion limit exceeded";

/// Decodes `value` into a tree, or yields the message of the first fault
/// (the value is visited depth first, object entries in byte order of their
/// keys). Uses stack depth bounded by kMaxTreeNesting for any input; the
/// value is only read, never copied.
Result<AstNode> decode_ast(const nlohmann::json& value);

}  // namespace zelta
