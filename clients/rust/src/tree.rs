//! The shell syntax tree the executor takes in the `ast` of a "run.ast" request.
//!
//! Every union is an externally tagged enum: a kind without payload is its bare
//! name (`"Input"`), a kind with payload a map of one key (`{"Command":{...}}`).
//! `serde_json::to_string` of these types is exactly what the executor decodes,
//! and `serde_json::from_str` reads every form the executor accepts, including
//! `{"Input":null}` for a kind without payload and `[fd, kind, file]` for a
//! redirection. The variant order is the wire order, which the executor's
//! "unknown variant" messages list.

use serde::{Deserialize, Serialize};

/// One node of the tree: 32 kinds. Only `Command` and `Pipeline` roots (and
/// `Command` members of a pipeline) are run; every other kind is decoded and
/// refused ("Unsupported AST root for run.ast").
#[derive(Debug, Clone, PartialEq, Eq, Serialize, Deserialize)]
pub enum AstNode {
    /// A program with its arguments and redirections.
    Command {
        name: String,
        args: Vec<String>,
        /// One flag per argument: whether it was written in single quotes.
        single_quoted_args: Vec<bool>,
        redirects: Vec<Redirect>,
    },
    Pipeline {
        commands: Vec<AstNode>,
    },
    List {
        statements: Vec<AstNode>,
        operators: Vec<String>,
    },
    Assignment {
        name: String,
        value: Box<AstNode>,
    },
    CommandSubstitution {
        command: Box<AstNode>,
    },
    ArithmeticExpansion {
        expression: String,
    },
    ArithmeticCommand {
        expression: String,
    },
    Subshell {
        list: Box<AstNode>,
    },
    Comment(String),
    StringLiteral(String),
    SingleQuotedString(String),
    ExtGlobPattern {
        operator: char,
        patterns: Vec<String>,
        suffix: String,
    },
    IfStatement {
        condition: Box<AstNode>,
        consequence: Box<AstNode>,
        /// Absent and null both mean none.
        alternative: Option<Box<AstNode>>,
    },
    ElifBranch {
        condition: Box<AstNode>,
        consequence: Box<AstNode>,
    },
    ElseBranch {
        consequence: Box<AstNode>,
    },
    CaseStatement {
        expression: Box<AstNode>,
        patterns: Vec<CasePattern>,
    },
    Array {
        elements: Vec<String>,
    },
    Function {
        name: String,
        body: Box<AstNode>,
    },
    FunctionCall {
        name: String,
        args: Vec<String>,
        single_quoted_args: Vec<bool>,
        redirects: Vec<Redirect>,
    },
    Export {
        name: String,
        value: Option<Box<AstNode>>,
    },
    Return {
        value: Option<Box<AstNode>>,
    },
    ExtendedTest {
        condition: Box<AstNode>,
    },
    HistoryExpansion {
        pattern: String,
    },
    Complete {
        options: Vec<String>,
        command: String,
    },
    ForLoop {
        variable: String,
        iterable: Box<AstNode>,
        body: Box<AstNode>,
    },
    WhileLoop {
        condition: Box<AstNode>,
        body: Box<AstNode>,
    },
    UntilLoop {
        condition: Box<AstNode>,
        body: Box<AstNode>,
    },
    Negation {
        command: Box<AstNode>,
    },
    SelectStatement {
        variable: String,
        items: Box<AstNode>,
        body: Box<AstNode>,
    },
    Group {
        list: Box<AstNode>,
    },
    ParameterExpansion {
        parameter: String,
        expansion_type: ParameterExpansionType,
    },
    ProcessSubstitution {
        command: Box<AstNode>,
        direction: ProcessSubstitutionDirection,
    },
}

/// The wire names of the node kinds, in their order.
pub const AST_KIND_NAMES: [&str; 32] = [
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
];

impl AstNode {
    /// The wire name of this node's kind ("Command", "ForLoop", ...).
    pub fn kind_name(&self) -> &'static str {
        use AstNode::*;
        let index = match self {
            Command { .. } => 0,
            Pipeline { .. } => 1,
            List { .. } => 2,
            Assignment { .. } => 3,
            CommandSubstitution { .. } => 4,
            ArithmeticExpansion { .. } => 5,
            ArithmeticCommand { .. } => 6,
            Subshell { .. } => 7,
            Comment(_) => 8,
            StringLiteral(_) => 9,
            SingleQuotedString(_) => 10,
            ExtGlobPattern { .. } => 11,
            IfStatement { .. } => 12,
            ElifBranch { .. } => 13,
            ElseBranch { .. } => 14,
            CaseStatement { .. } => 15,
            Array { .. } => 16,
            Function { .. } => 17,
            FunctionCall { .. } => 18,
            Export { .. } => 19,
            Return { .. } => 20,
            ExtendedTest { .. } => 21,
            HistoryExpansion { .. } => 22,
            Complete { .. } => 23,
            ForLoop { .. } => 24,
            WhileLoop { .. } => 25,
            UntilLoop { .. } => 26,
            Negation { .. } => 27,
            SelectStatement { .. } => 28,
            Group { .. } => 29,
            ParameterExpansion { .. } => 30,
            ProcessSubstitution { .. } => 31,
        };
        AST_KIND_NAMES[index]
    }

    /// The tree as the JSON text the executor decodes.
    pub fn to_json(&self) -> String {
        // Serialising these types cannot fail: every map key is a string.
        serde_json::to_string(self).unwrap_or_default()
    }

    /// Reads a tree as a front end sends it. The text is first read as a
    /// JSON value, as the executor does, so a key repeated in one object
    /// keeps its last value and the fields of a record are examined in byte
    /// order of their keys: a malformed tree fails with the message the
    /// executor gives after "Invalid ast: ". (One known difference: Debian
    /// 12's serde writes a whole floating-point number without ".0", as in
    /// "floating point `1000`" where the executor says `1000.0`.)
    pub fn from_json(text: &str) -> Result<AstNode, serde_json::Error> {
        AstNode::from_value(serde_json::from_str(text)?)
    }

    /// Reads a tree from a JSON value (the `ast` of a request).
    pub fn from_value(value: serde_json::Value) -> Result<AstNode, serde_json::Error> {
        serde_json::from_value(value)
    }
}

/// One redirection of a `Command` or `FunctionCall`. Written as an object;
/// the array form `[fd, kind, file]` is read too.
#[derive(Debug, Clone, PartialEq, Eq, Serialize, Deserialize)]
pub struct Redirect {
    /// The descriptor redirected; none means the kind's default (0 for the
    /// input kinds, 1 for the output kinds).
    pub fd: Option<i32>,
    pub kind: RedirectKind,
    /// The path, or the text of a here-document or here-string.
    pub file: String,
}

/// The eight kinds of redirection, in wire order.
#[derive(Debug, Clone, Copy, PartialEq, Eq, Hash, Serialize, Deserialize)]
pub enum RedirectKind {
    Input,
    Output,
    Append,
    HereDoc,
    HereDocDash,
    HereString,
    InputDup,
    OutputDup,
}

impl RedirectKind {
    /// Every kind, in wire order.
    pub const ALL: [RedirectKind; 8] = [
        RedirectKind::Input,
        RedirectKind::Output,
        RedirectKind::Append,
        RedirectKind::HereDoc,
        RedirectKind::HereDocDash,
        RedirectKind::HereString,
        RedirectKind::InputDup,
        RedirectKind::OutputDup,
    ];
}

/// One arm of a `CaseStatement`. Written as an object; `[patterns, body]` is
/// read too.
#[derive(Debug, Clone, PartialEq, Eq, Serialize, Deserialize)]
pub struct CasePattern {
    pub patterns: Vec<String>,
    pub body: AstNode,
}

/// Direction of a process substitution: `<(...)` or `>(...)`.
#[derive(Debug, Clone, Copy, PartialEq, Eq, Hash, Serialize, Deserialize)]
pub enum ProcessSubstitutionDirection {
    Input,
    Output,
}

/// The operation of a `ParameterExpansion`, sixteen kinds in wire order.
#[derive(Debug, Clone, PartialEq, Eq, Serialize, Deserialize)]
pub enum ParameterExpansionType {
    Simple,
    Default(String),
    Assign(String),
    Error(String),
    Alternative(String),
    Length,
    RemoveSmallestPrefix(String),
    RemoveLargestPrefix(String),
    RemoveSmallestSuffix(String),
    RemoveLargestSuffix(String),
    /// Offset and length, each optional.
    Substring(Option<i32>, Option<i32>),
    Indirect,
    ArrayAll,
    ArrayStar,
    ArrayLength,
    ArrayIndex(String),
}
