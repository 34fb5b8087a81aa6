//! A sample of every node kind, parameter expansion type and redirect kind.

use zelta_stdio_client::tree::AST_KIND_NAMES;
use zelta_stdio_client::{
    AstNode, CasePattern, Command, ParameterExpansionType as P, ProcessSubstitutionDirection,
    Redirect, RedirectKind,
};

fn cmd(name: &str) -> AstNode {
    Command::new(name).arg("x").into_node()
}

fn b(node: AstNode) -> Box<AstNode> {
    Box::new(node)
}

fn lit(text: &str) -> Box<AstNode> {
    b(AstNode::StringLiteral(text.into()))
}

/// One node of each of the 32 kinds, in wire order, each with children
/// where it has any.
pub fn every_kind() -> Vec<AstNode> {
    use AstNode::*;
    let nodes = vec![
        zelta_stdio_client::Command::new("true")
            .arg("a")
            .quoted_arg("b c")
            .stderr_to("/dev/null")
            .into_node(),
        Pipeline { commands: vec![cmd("true"), cmd("cat")] },
        List { statements: vec![cmd("true"), cmd("false")], operators: vec!["&&".into()] },
        Assignment { name: "X".into(), value: lit("1") },
        CommandSubstitution { command: b(cmd("date")) },
        ArithmeticExpansion { expression: "1+2".into() },
        ArithmeticCommand { expression: "i++".into() },
        Subshell { list: b(List { statements: vec![cmd("pwd")], operators: vec![] }) },
        Comment("# a note".into()),
        StringLiteral("word".into()),
        SingleQuotedString("it is".into()),
        ExtGlobPattern {
            operator: '@',
            patterns: vec!["a".into(), "b".into()],
            suffix: ".txt".into(),
        },
        IfStatement {
            condition: b(cmd("test")),
            consequence: b(cmd("yes")),
            alternative: Some(b(ElseBranch { consequence: b(cmd("no")) })),
        },
        ElifBranch { condition: b(cmd("test")), consequence: b(cmd("yes")) },
        ElseBranch { consequence: b(cmd("no")) },
        CaseStatement {
            expression: b(ParameterExpansion { parameter: "x".into(), expansion_type: P::Simple }),
            patterns: vec![
                CasePattern { patterns: vec!["a*".into(), "b".into()], body: cmd("echo") },
                CasePattern { patterns: vec!["*".into()], body: cmd("true") },
            ],
        },
        Array { elements: vec!["1".into(), "2".into()] },
        Function { name: "f".into(), body: b(Group { list: b(cmd("echo")) }) },
        FunctionCall {
            name: "f".into(),
            args: vec!["1".into()],
            single_quoted_args: vec![false],
            redirects: vec![Redirect::new(Some(1), RedirectKind::Append, "log")],
        },
        Export { name: "X".into(), value: Some(lit("1")) },
        Return { value: None },
        ExtendedTest { condition: lit("-f x") },
        HistoryExpansion { pattern: "!!".into() },
        Complete { options: vec!["-W".into(), "a b".into()], command: "git".into() },
        ForLoop {
            variable: "i".into(),
            iterable: b(Array { elements: vec!["1".into()] }),
            body: b(cmd("echo")),
        },
        WhileLoop { condition: b(cmd("true")), body: b(cmd("sleep")) },
        UntilLoop { condition: b(cmd("false")), body: b(cmd("sleep")) },
        Negation { command: b(cmd("false")) },
        SelectStatement {
            variable: "choice".into(),
            items: b(Array { elements: vec!["a".into()] }),
            body: b(cmd("echo")),
        },
        Group { list: b(cmd("echo")) },
        ParameterExpansion { parameter: "v".into(), expansion_type: P::Substring(Some(1), None) },
        ProcessSubstitution {
            command: b(cmd("ls")),
            direction: ProcessSubstitutionDirection::Output,
        },
    ];
    assert_eq!(nodes.len(), AST_KIND_NAMES.len());
    nodes
}

/// The sixteen parameter expansion types, in wire order.
pub fn every_expansion() -> Vec<P> {
    vec![
        P::Simple,
        P::Default("d".into()),
        P::Assign("a".into()),
        P::Error("e".into()),
        P::Alternative("alt".into()),
        P::Length,
        P::RemoveSmallestPrefix("*/".into()),
        P::RemoveLargestPrefix("*/".into()),
        P::RemoveSmallestSuffix(".*".into()),
        P::RemoveLargestSuffix(".*".into()),
        P::Substring(Some(-2), Some(2)),
        P::Indirect,
        P::ArrayAll,
        P::ArrayStar,
        P::ArrayLength,
        P::ArrayIndex("0".into()),
    ]
}

/// Everything else a tree can hold: each expansion type and direction in a
/// node, and a command with one redirection of each kind.
pub fn every_payload() -> Vec<AstNode> {
    let mut nodes: Vec<AstNode> = every_expansion()
        .into_iter()
        .map(|expansion_type| AstNode::ParameterExpansion { parameter: "v".into(), expansion_type })
        .collect();
    nodes.push(AstNode::ProcessSubstitution {
        command: b(cmd("cat")),
        direction: ProcessSubstitutionDirection::Input,
    });
    let mut command = Command::new("true");
    for (fd, kind) in RedirectKind::ALL.iter().enumerate() {
        command = command.redirect(Redirect::new(Some(fd as i32 % 3), *kind, "/dev/null"));
    }
    nodes.push(command.into_node());
    nodes
}
