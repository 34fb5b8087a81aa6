//! The tree types against the wire: exact JSON out, every accepted form in,
//! and the executor's documented examples and messages.

mod common;

use common::trees::{every_expansion, every_kind, every_payload};
use serde_json::{json, Value};
use zelta_stdio_client::tree::AST_KIND_NAMES;
use zelta_stdio_client::{AstNode, Command, Pipeline, Redirect, RedirectKind};

#[test]
fn every_kind_is_tagged_with_its_name_and_reads_back_the_same() {
    for (node, name) in every_kind().iter().zip(AST_KIND_NAMES) {
        assert_eq!(node.kind_name(), name);
        let text = node.to_json();
        assert!(text.starts_with(&format!("{{\"{}\":", name)), "{}", text);
        assert_eq!(&AstNode::from_json(&text).unwrap(), node, "{}", text);
    }
    for node in every_payload() {
        assert_eq!(AstNode::from_json(&node.to_json()).unwrap(), node);
    }
}

#[test]
fn nodes_are_written_exactly_as_the_executor_reads_them() {
    let command =
        Command::new("grep").arg("-n").quoted_arg("a b").stderr_to("/dev/null").into_node();
    assert_eq!(
        command.to_json(),
        r#"{"Command":{"name":"grep","args":["-n","a b"],"single_quoted_args":[false,true],"redirects":[{"fd":2,"kind":"Output","file":"/dev/null"}]}}"#
    );
    let pipeline = Pipeline::new()
        .then(Command::new("ls"))
        .then(Command::new("wc").arg("-l").stdout_to("n"))
        .into_node();
    assert_eq!(
        pipeline.to_json(),
        r#"{"Pipeline":{"commands":[{"Command":{"name":"ls","args":[],"single_quoted_args":[],"redirects":[]}},{"Command":{"name":"wc","args":["-l"],"single_quoted_args":[false],"redirects":[{"fd":null,"kind":"Output","file":"n"}]}}]}}"#
    );
    let kinds: Vec<Value> =
        RedirectKind::ALL.iter().map(|k| serde_json::to_value(k).unwrap()).collect();
    assert_eq!(
        Value::Array(kinds),
        json!([
            "Input",
            "Output",
            "Append",
            "HereDoc",
            "HereDocDash",
            "HereString",
            "InputDup",
            "OutputDup"
        ])
    );
    let expansions: Vec<String> =
        every_expansion().iter().map(|e| serde_json::to_string(e).unwrap()).collect();
    assert_eq!(expansions[0], r#""Simple""#);
    assert_eq!(expansions[1], r#"{"Default":"d"}"#);
    assert_eq!(expansions[10], r#"{"Substring":[-2,2]}"#);
    assert_eq!(expansions[15], r#"{"ArrayIndex":"0"}"#);
    assert_eq!(AstNode::Comment("c".into()).to_json(), r#"{"Comment":"c"}"#);
    assert_eq!(AstNode::Return { value: None }.to_json(), r#"{"Return":{"value":null}}"#);
}

#[test]
fn every_form_the_executor_accepts_is_read() {
    let same = |a: &str, b: &str| {
        assert_eq!(AstNode::from_json(a).unwrap(), AstNode::from_json(b).unwrap(), "{} vs {}", a, b)
    };
    let redirect = |r: &str| {
        format!(
            r#"{{"Command":{{"name":"x","args":[],"single_quoted_args":[],"redirects":[{}]}}}}"#,
            r
        )
    };
    same(
        &redirect(r#"{"fd":null,"kind":"Output","file":"f"}"#),
        &redirect(r#"[null,"Output","f"]"#),
    );
    same(
        &redirect(r#"{"kind":"Output","file":"f"}"#),
        &redirect(r#"{"kind":{"Output":null},"file":"f","extra":1}"#),
    );
    same(&redirect(r#"{"fd":-1,"kind":"Input","file":"f"}"#), &redirect(r#"[-1,"Input","f"]"#));
    let case = |p: &str| {
        format!(
            r#"{{"CaseStatement":{{"expression":{{"StringLiteral":"x"}},"patterns":[{}]}}}}"#,
            p
        )
    };
    same(
        &case(r#"[["ab"],"Length"]"#).replace("\"Length\"", r#"{"Comment":"c"}"#),
        &case(r#"{"patterns":["ab"],"body":{"Comment":"c"}}"#),
    );
    let branch = r#"{"condition":{"Comment":"a"},"consequence":{"Comment":"b"}"#;
    same(
        &format!(r#"{{"IfStatement":{}}}}}"#, branch),
        &format!(r#"{{"IfStatement":{},"alternative":null}}}}"#, branch),
    );
    same(r#"{"Export":{"name":"X"}}"#, r#"{"Export":{"name":"X","value":null}}"#);
    same(
        r#"{"ParameterExpansion":{"parameter":"v","expansion_type":{"Substring":[null,null]}}}"#,
        r#"{"ParameterExpansion":{"expansion_type":{"Substring":[null,null]},"parameter":"v"}}"#,
    );
    same(
        r#"{"Command":{"name":"a","name":"b","args":[],"single_quoted_args":[],"redirects":[]}}"#,
        r#"{"Command":{"name":"b","args":[],"single_quoted_args":[],"redirects":[]}}"#,
    );
}

/// The request lines of the protocol guide's sessions that carry a tree, each
/// with the "Invalid ast: " text the executor answered, if it did.
fn documented_trees() -> Vec<(Value, Option<String>)> {
    let guide = concat!(env!("CARGO_MANIFEST_DIR"), "/../../docs/protocol.md");
    let text = std::fs::read_to_string(guide).expect("docs/protocol.md");
    let lines: Vec<&str> = text.lines().collect();
    let mut found = Vec::new();
    for (i, line) in lines.iter().enumerate() {
        let request: Value = match line.strip_prefix("> ").map(serde_json::from_str) {
            Some(Ok(request)) => request,
            _ => continue,
        };
        let ast = match request.get("ast") {
            Some(ast) if !ast.is_null() => ast.clone(),
            _ => continue,
        };
        let answer = lines[i + 1..]
            .iter()
            .take_while(|l| !l.starts_with("> ") && l.starts_with("< "))
            .filter_map(|l| serde_json::from_str::<Value>(&l[2..]).ok())
            .filter_map(|reply| reply.get("error").and_then(Value::as_str).map(str::to_owned))
            .find_map(|error| error.strip_prefix("Invalid ast: ").map(str::to_owned));
        found.push((ast, answer));
    }
    found
}

#[test]
fn the_protocol_guides_trees_read_as_the_executor_read_them() {
    let trees = documented_trees();
    assert!(trees.len() >= 15, "only {} trees found in the guide", trees.len());
    assert!(trees.iter().any(|(_, error)| error.is_some()));
    for (ast, error) in trees {
        let parsed = AstNode::from_value(ast.clone());
        match error {
            Some(expected) => assert_eq!(parsed.unwrap_err().to_string(), expected, "{}", ast),
            None => {
                let node = parsed.unwrap_or_else(|e| panic!("{}: {}", ast, e));
                assert_eq!(serde_json::to_value(&node).unwrap(), ast);
            }
        }
    }
}

#[test]
fn malformed_trees_fail_with_the_executors_messages() {
    let command = |fields: &str| format!(r#"{{"Command":{{{}}}}}"#, fields);
    let with_redirect = |r: &str| {
        command(&format!(r#""name":"x","args":[],"single_quoted_args":[],"redirects":[{}]"#, r))
    };
    let expanding =
        |e: &str| format!(r#"{{"ParameterExpansion":{{"parameter":"v","expansion_type":{}}}}}"#, e);
    let cases: Vec<(String, &str)> = vec![
        (command(r#""name":"ls","args":[],"redirects":[]"#), "missing field `single_quoted_args`"),
        (command(r#""name":5,"args":7,"single_quoted_args":[],"redirects":[]"#), "invalid type: integer `7`, expected a sequence"),
        (r#""Command""#.into(), "invalid type: unit variant, expected struct variant"),
        (r#"{"StringLiteral":null}"#.into(), "invalid type: null, expected a string"),
        ("{}".into(), "invalid value: map, expected map with a single key"),
        ("[1]".into(), "invalid type: sequence, expected string or map"),
        (with_redirect(r#"[null,"Output"]"#), "invalid length 2, expected struct Redirect with 3 elements"),
        (with_redirect(r#"{"fd":2147483648,"kind":"Output","file":"f"}"#), "invalid value: integer `2147483648`, expected i32"),
        (with_redirect(r#"{"fd":1.5,"kind":"Output","file":"f"}"#), "invalid type: floating point `1.5`, expected i32"),
        (with_redirect(r#"{"kind":{"Input":1},"file":"f"}"#), "invalid type: integer `1`, expected unit"),
        (r#"{"Negation":{"command":null}}"#.into(), "invalid type: null, expected string or map"),
        (r#"{"ExtGlobPattern":{"operator":"ab","patterns":[],"suffix":""}}"#.into(), "invalid value: string \"ab\", expected a character"),
        (expanding(r#"{"Substring":[1]}"#), "invalid length 1, expected tuple variant ParameterExpansionType::Substring with 2 elements"),
        (expanding(r#"{"Substring":[1,2,3]}"#), "invalid length 3, expected fewer elements in array"),
        (expanding(r#""Substring""#), "invalid type: unit variant, expected tuple variant"),
        (r#"{"ProcessSubstitution":{"command":{"Comment":"c"},"direction":"Pipe"}}"#.into(), "unknown variant `Pipe`, expected `Input` or `Output`"),
    ];
    for (tree, expected) in cases {
        let error = AstNode::from_json(&tree).unwrap_err();
        assert_eq!(error.to_string(), expected, "{}", tree);
    }
    let unknown = AstNode::from_json(r#"{"command":{}}"#).unwrap_err().to_string();
    let names: Vec<String> = AST_KIND_NAMES.iter().map(|n| format!("`{}`", n)).collect();
    assert_eq!(unknown, format!("unknown variant `command`, expected one of {}", names.join(", ")));
    let redirect_kind = AstNode::from_json(&with_redirect(r#"[null,"Pipe","f"]"#)).unwrap_err();
    assert!(redirect_kind
        .to_string()
        .starts_with("unknown variant `Pipe`, expected one of `Input`, `Output`, `Append`"));
    // A redirect written as an object is a plain record, not a union.
    let _ = Redirect::new(None, RedirectKind::Input, "f");
}
