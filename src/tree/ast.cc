// Wire names of the syntax tree's kinds.
#include "tree/ast.h"

namespace zelta {

const std::array<std::string_view, kAstKindCount> kAstKindNames = {
    "Command",
    "Pipeline",
    "List",
    "Assignment",
    "CommandSubstitution",
    "ArithmeticExpansion",
    "ArithmeticCommand",
    "Subshell",
    "Comment",
    "StringLiteral",
    "SingleQuotedString",
    "ExtGlobPattern",
    "IfStatement",
    "ElifBranch",
    "ElseBranch",
    "CaseStatement",
    "Array",
    "Function",
    "FunctionCall",
    "Export",
    "Return",
    "ExtendedTest",
    "HistoryExpansion",
    "Complete",
    "ForLoop",
    "WhileLoop",
    "UntilLoop",
    "Negation",
    "SelectStatement",
    "Group",
    "ParameterExpansion",
    "ProcessSubstitution",
};

const std::array<std::string_view, 16> kParameterExpansionKindNames = {
    "Simple",
    "Default",
    "Assign",
    "Error",
    "Alternative",
    "Length",
    "RemoveSmallestPrefix",
    "RemoveLargestPrefix",
    "RemoveSmallestSuffix",
    "RemoveLargestSuffix",
    "Substring",
    "Indirect",
    "ArrayAll",
    "ArrayStar",
    "ArrayLength",
    "ArrayIndex",
};

const std::array<std::string_view, 2> kProcessSubstitutionDirectionNames = {"Input", "Output"};

}  // namespace zelta
