//! Trees built with the types, sent to the real executor: every kind decodes
//! there, every redirection kind does what it says, and a malformed tree gets
//! the same message from the executor as from the types.

mod common;

use std::io::{BufRead, BufReader, Write};
use std::process::{Command as Process, Stdio};

use common::trees::{every_kind, every_payload};
use common::{client, executor_path, Scratch};
use zelta_stdio_client::{AstNode, Command, Error, Pipeline, Redirect, RedirectKind, RunOptions};

fn refusal(result: zelta_stdio_client::Result<zelta_stdio_client::RunOutput>) -> String {
    match result {
        Err(Error::Executor(text)) => text,
        other => panic!("expected an error reply, got {:?}", other),
    }
}

#[test]
fn every_kind_decodes_in_the_executor_as_a_root_and_as_a_member() {
    let client = client();
    let options = RunOptions::new();
    for node in every_kind().into_iter().chain(every_payload()) {
        match node.kind_name() {
            "Command" | "Pipeline" => {
                client.run(&node, &options).unwrap_or_else(|e| panic!("{}: {}", node.to_json(), e));
            }
            _ => assert_eq!(
                refusal(client.run(&node, &options)),
                "Unsupported AST root for run.ast",
                "{}",
                node.to_json()
            ),
        }
        if node.kind_name() != "Command" {
            let member = AstNode::Pipeline {
                commands: vec![Command::new("true").into_node(), node.clone()],
            };
            assert_eq!(
                refusal(client.run(&member, &options)),
                "Unsupported pipeline AST node",
                "{}",
                node.to_json()
            );
        }
    }
    // All kinds at once, nested in one tree.
    let everything = AstNode::List {
        statements: every_kind().into_iter().chain(every_payload()).collect(),
        operators: vec![";".into()],
    };
    assert_eq!(refusal(client.run(&everything, &options)), "Unsupported AST root for run.ast");
}

#[test]
fn every_redirection_kind_acts_in_the_executor() {
    let scratch = Scratch::new();
    let client = client();
    std::fs::write(scratch.file("in"), "from a file\n").unwrap();
    std::fs::write(scratch.file("appended"), "a\n").unwrap();
    let sh = |script: &str| Command::new("sh").arg("-c").arg(script);
    let cases: Vec<(RedirectKind, Command, &str, Option<(&str, &str)>)> = vec![
        (
            RedirectKind::Input,
            Command::new("cat").stdin_from(scratch.file("in")),
            "from a file\r\n",
            None,
        ),
        (
            RedirectKind::Output,
            sh("echo out").stdout_to(scratch.file("out")),
            "",
            Some(("out", "out\n")),
        ),
        (
            RedirectKind::Append,
            sh("echo b").append_to(scratch.file("appended")),
            "",
            Some(("appended", "a\nb\n")),
        ),
        (RedirectKind::HereDoc, Command::new("cat").here_doc("doc\n"), "doc\r\n", None),
        (
            RedirectKind::HereDocDash,
            Command::new("cat").redirect(Redirect::new(
                None,
                RedirectKind::HereDocDash,
                "\tdash\n",
            )),
            "\tdash\r\n",
            None,
        ),
        (RedirectKind::HereString, Command::new("cat").here_string("string"), "string\r\n", None),
        (
            RedirectKind::InputDup,
            sh("echo in-dup").redirect(Redirect::new(Some(0), RedirectKind::InputDup, "1")),
            "in-dup\r\n",
            None,
        ),
        (
            RedirectKind::OutputDup,
            sh("echo out-dup").redirect(Redirect::new(Some(2), RedirectKind::OutputDup, "1")),
            "out-dup\r\n",
            None,
        ),
    ];
    assert_eq!(cases.len(), RedirectKind::ALL.len());
    for (kind, command, shown, file) in cases {
        let run = client.run(&command.into_node(), &RunOptions::new()).unwrap();
        assert_eq!((run.stdout.as_str(), run.status.exit_code()), (shown, 0), "{:?}", kind);
        if let Some((name, text)) = file {
            assert_eq!(std::fs::read_to_string(scratch.file(name)).unwrap(), text, "{:?}", kind);
        }
    }
    // A redirection that cannot be applied: the command does not run and the run exits with 1.
    let missing = Command::new("cat").stdin_from(scratch.file("missing"));
    let run = client.run(&missing.into_node(), &RunOptions::new()).unwrap();
    assert_eq!(run.status.exit_code(), 1);
    assert!(run.stdout.contains("No such file or directory (os error 2)"), "{:?}", run.stdout);
    // Pipelines built with the builder run members in order.
    let piped = Pipeline::of([Command::new("printf").arg("b\\na\\n"), Command::new("sort")]);
    assert_eq!(client.pipeline(piped, &RunOptions::new()).unwrap().stdout, "a\nb\n");
}

#[test]
fn malformed_trees_get_the_same_message_from_the_executor_and_the_types() {
    let trees = [
        r#"{"Command":{"name":"ls","args":[],"redirects":[]}}"#,
        r#"{"Command":{"name":5,"args":7,"single_quoted_args":[],"redirects":[]}}"#,
        r#"{"command":{}}"#,
        r#"{"Command":{"name":"x","args":[],"single_quoted_args":[],"redirects":[[null,"Pipe","f"]]}}"#,
        r#"{"Command":{"name":"x","args":[],"single_quoted_args":[],"redirects":[{"fd":-2147483649,"kind":"Output","file":"f"}]}}"#,
        r#"{"IfStatement":{"condition":{"Comment":"c"},"consequence":"Comment"}}"#,
        r#"{"CaseStatement":{"expression":{"Comment":"c"},"patterns":[[["a"]]]}}"#,
        r#"{"ExtGlobPattern":{"operator":"","patterns":[],"suffix":""}}"#,
        r#"{"ParameterExpansion":{"parameter":"v","expansion_type":{"Substring":[]}}}"#,
        r#"{"ParameterExpansion":{"parameter":"v","expansion_type":{"Length":"x"}}}"#,
        r#"{"ProcessSubstitution":{"command":{"Comment":"c"},"direction":{"Input":null,"Output":null}}}"#,
        r#"{"Array":{"elements":["a",2.5e-3]}}"#,
        r#"{"Complete":{"options":"x","command":"c"}}"#,
        r#"{"Command":{"name":"x","args":[],"single_quoted_args":["tab\tand\u0001 \"é\""],"redirects":[]}}"#,
        r#"{"Command":{"name":"x","args":["a"],"single_quoted_args":[true],"redirects":[],"cwd":"/"}}"#,
    ];
    let mut executor =
        Process::new(executor_path()).stdin(Stdio::piped()).stdout(Stdio::piped()).spawn().unwrap();
    let mut input = executor.stdin.take().unwrap();
    let mut lines = BufReader::new(executor.stdout.take().unwrap()).lines();
    for tree in trees {
        writeln!(input, r#"{{"type":"run.ast","ast":{}}}"#, tree).unwrap();
        let reply: serde_json::Value =
            serde_json::from_str(&lines.next().unwrap().unwrap()).unwrap();
        let said = reply["error"].as_str().unwrap_or_default().to_owned();
        match AstNode::from_json(tree) {
            Err(err) => assert_eq!(format!("Invalid ast: {}", err), said, "{}", tree),
            Ok(_) => assert!(!said.starts_with("Invalid ast"), "{}: {}", tree, said),
        }
        if said.is_empty() {
            // It ran: read up to its "exit".
            while !lines.next().unwrap().unwrap().contains(r#""type":"exit""#) {}
        }
    }
    drop(input);
    assert!(executor.wait().unwrap().success());
}
