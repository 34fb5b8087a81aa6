// The shell syntax tree sent by the front end: 32 node kinds with owned children.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/request.h"

namespace zelta {

struct AstNode;

/// An owned child node. Required children are never null once decoded;
/// optional ones are null when absent.
using AstNodePtr = std::unique_ptr<AstNode>;

/// Direction of a process substitution, in declaration order.
enum class ProcessSubstitutionDirection { kInput, kOutput };

/// The operation of a parameter expansion, with its payload.
struct ParameterExpansionType {
  /// The sixteen kinds in declaration order.
  enum class Kind {
    kSimple,
    kDefault,
    kAssign,
    kError,
    kAlternative,
    kLength,
    kRemoveSmallestPrefix,
    kRemoveLargestPrefix,
    kRemoveSmallestSuffix,
    kRemoveLargestSuffix,
    kSubstring,
    kIndirect,
    kArrayAll,
    kArrayStar,
    kArrayLength,
    kArrayIndex,
  };

  Kind kind = Kind::kSimple;
  /// The word, pattern or index of the kinds that carry a string; empty otherwise.
  std::string text;
  /// Offset and length of `kSubstring`; none otherwise.
  std::optional<std::int32_t> offset;
  std::optional<std::int32_t> length;
};

/// One arm of a case statement: its patterns and its body.
struct CasePattern {
  std::vector<std::string> patterns;
  AstNodePtr body;
};

namespace ast {

/// The fields shared by `Command` and `FunctionCall`.
struct CommandFields {
  std::string name;
  std::vector<std::string> args;
  std::vector<bool> single_quoted_args;
  std::vector<Redirect> redirects;
};

struct Command : CommandFields {};
struct Pipeline {
  std::vector<AstNode> commands;
};
struct List {
  std::vector<AstNode> statements;
  std::vector<std::string> operators;
};
struct Assignment {
  std::string name;
  AstNodePtr value;
};
struct CommandSubstitution {
  AstNodePtr command;
};
struct ArithmeticExpansion {
  std::string expression;
};
struct ArithmeticCommand {
  std::string expression;
};
struct Subshell {
  AstNodePtr list;
};
struct Comment {
  std::string text;
};
struct StringLiteral {
  std::string text;
};
struct SingleQuotedString {
  std::string text;
};
struct ExtGlobPattern {
  char32_t op = 0;  // the one-character "operator"
  std::vector<std::string> patterns;
  std::string suffix;
};
struct IfStatement {
  AstNodePtr condition;
  AstNodePtr consequence;
  AstNodePtr alternative;  // null when absent
};
struct ElifBranch {
  AstNodePtr condition;
  AstNodePtr consequence;
};
struct ElseBranch {
  AstNodePtr consequence;
};
struct CaseStatement {
  AstNodePtr expression;
  std::vector<CasePattern> patterns;
};
struct Array {
  std::vector<std::string> elements;
};
struct Function {
  std::string name;
  AstNodePtr body;
};
struct FunctionCall : CommandFields {};
struct Export {
  std::string name;
  AstNodePtr value;  // null when absent
};
struct Return {
  AstNodePtr value;  // null when absent
};
struct ExtendedTest {
  AstNodePtr condition;
};
struct HistoryExpansion {
  std::string pattern;
};
struct Complete {
  std::vector<std::string> options;
  std::string command;
};
struct ForLoop {
  std::string variable;
  AstNodePtr iterable;
  AstNodePtr body;
};
struct WhileLoop {
  AstNodePtr condition;
  AstNodePtr body;
};
struct UntilLoop {
  AstNodePtr condition;
  AstNodePtr body;
};
struct Negation {
  AstNodePtr command;
};
struct SelectStatement {
  std::string variable;
  AstNodePtr items;
  AstNodePtr body;
};
struct Group {
  AstNodePtr list;
};
struct ParameterExpansion {
  std::string parameter;
  ParameterExpansionType expansion_type;
};
struct ProcessSubstitution {
  AstNodePtr command;
  ProcessSubstitutionDirection direction = ProcessSubstitutionDirection::kInput;
};

}  // namespace ast

/// The kinds of node; the order is the wire order and the variant order.
enum class AstKind {
  kCommand,
  kPipeline,
  kList,
  kAssignment,
  kCommandSubstitution,
  kArithmeticExpansion,
  kArithmeticCommand,
  kSubshell,
  kComment,
  kStringLiteral,
  kSingleQuotedString,
  kExtGlobPattern,
  kIfStatement,
  kElifBranch,
  kElseBranch,
  kCaseStatement,
  kArray,
  kFunction,
  kFunctionCall,
  kExport,
  kReturn,
  kExtendedTest,
  kHistoryExpansion,
  kComplete,
  kForLoop,
  kWhileLoop,
  kUntilLoop,
  kNegation,
  kSelectStatement,
  kGroup,
  kParameterExpansion,
  kProcessSubstitution,
};

inline constexpr std::size_t kAstKindCount = 32;

/// Wire names of the node kinds, indexed by AstKind.
extern const std::array<std::string_view, kAstKindCount> kAstKindNames;
/// Wire names of ParameterExpansionType::Kind, in order.
extern const std::array<std::string_view, 16> kParameterExpansionKindNames;
/// Wire names of ProcessSubstitutionDirection, in order.
extern const std::array<std::string_view, 2> kProcessSubstitutionDirectionNames;

/// One node: exactly one of the 32 kinds, alternative index = AstKind.
struct AstNode {
  using Value = std::variant<
      ast::Command, ast::Pipeline, ast::List, ast::Assignment, ast::CommandSubstitution,
      ast::ArithmeticExpansion, ast::ArithmeticCommand, ast::Subshell, ast::Comment,
      ast::StringLiteral, ast::SingleQuotedString, ast::ExtGlobPattern, ast::IfStatement,
      ast::ElifBranch, ast::ElseBranch, ast::CaseStatement, ast::Array, ast::Function,
      ast::FunctionCall, ast::Export, ast::Return, ast::ExtendedTest, ast::HistoryExpansion,
      ast::Complete, ast::ForLoop, ast::WhileLoop, ast::UntilLoop, ast::Negation,
      ast::SelectStatement, ast::Group, ast::ParameterExpansion, ast::ProcessSubstitution>;

  Value value;

  AstKind kind() const { return static_cast<AstKind>(value.index()); }
};

static_assert(std::variant_size_v<AstNode::Value> == kAstKindCount);

/// Wire name of a node kind ("Command", "ProcessSubstitution", ...).
inline std::string_view ast_kind_name(AstKind kind) {
  return kAstKindNames[static_cast<std::size_t>(kind)];
}

}  // namespace zelta
