//! Many runs at once. On an executor that offers "concurrent" every terminal,
//! pipeline and file request of a client shares its one executor; elsewhere
//! (or on an unshared client) each terminal and live pipeline has an executor
//! of its own. Either way runs are kept apart and end independently.

mod common;

use std::io::Read;
use std::sync::Arc;
use std::time::{Duration, Instant};

use common::{client, executor_path, none_left, processes_with, read_until, Scratch, PATIENCE};
use zelta_stdio_client::{
    AstNode, Client, Command, Error, Output, Pipeline, PipelineRun, RunOptions, Terminal,
    TerminalReader,
};

/// The parent of a process, from /proc.
fn parent_of(pid: u32) -> u32 {
    let stat = std::fs::read_to_string(format!("/proc/{}/stat", pid)).unwrap();
    let after_name = &stat[stat.rfind(')').unwrap() + 1..];
    after_name.split_whitespace().nth(1).unwrap().parse().unwrap()
}

/// The one process whose command line carries `marker`, once it is there.
fn process_with(marker: &str) -> u32 {
    let deadline = Instant::now() + PATIENCE;
    loop {
        if let [pid] = processes_with(marker)[..] {
            return pid;
        }
        assert!(Instant::now() < deadline, "{} never started", marker);
        std::thread::sleep(Duration::from_millis(20));
    }
}

/// A terminal that prints each typed line back behind `tag`, and its reader.
fn tagger(client: &Client, tag: &str) -> (Terminal, TerminalReader) {
    let script = format!("stty -echo; echo {0}-ready; while read l; do echo \"{0}:$l\"; done", tag);
    let command = Command::new("sh").arg("-c").arg(script);
    let mut term = client.spawn_command(command, &RunOptions::new()).unwrap();
    let mut reader = term.take_reader().unwrap();
    read_until(&mut reader, &mut String::new(), &format!("{}-ready\r\n", tag));
    (term, reader)
}

/// Waits until process `pid` is gone.
fn gone(pid: u32, what: &str) {
    let deadline = Instant::now() + PATIENCE;
    while std::path::Path::new(&format!("/proc/{}", pid)).exists() {
        assert!(Instant::now() < deadline, "{} still runs", what);
        std::thread::sleep(Duration::from_millis(20));
    }
}

/// A live pipeline whose first member prints `tag` and sleeps until killed.
fn sleeper(client: &Client, marker: &str) -> PipelineRun {
    let script = format!("echo up; exec sleep {}", marker);
    let pipeline = Pipeline::of([Command::new("sh").arg("-c").arg(script), Command::new("cat")]);
    let run = client.spawn_pipeline(pipeline, &RunOptions::new()).unwrap();
    assert_eq!(run.recv_timeout(PATIENCE), Ok(Output::Stdout("up\n".into())));
    run
}

#[test]
fn terminals_pipelines_and_files_live_at_once_kept_apart() {
    let client = Arc::new(client());
    let shared = client.shares_executor().unwrap();
    let streams = client.has_extension("stream").unwrap();
    let marker = format!("1001.{}1", std::process::id());

    let (one, mut one_out) = tagger(&client, "one");
    let (two, mut two_out) = tagger(&client, "two");
    let live = if streams { Some(sleeper(&client, &marker)) } else { None };

    // Who runs each command: the one executor, or one executor each.
    let mut parents = vec![parent_of(one.process_id()), parent_of(two.process_id())];
    if live.is_some() {
        parents.push(parent_of(process_with(&marker)));
    }
    if let (Some(a), Some(b)) = (one.executor_pid(), two.executor_pid()) {
        assert_eq!((a, b), (parents[0], parents[1]));
    }
    if shared {
        assert!(parents.iter().all(|&p| p == parents[0]), "{:?}", parents);
    } else {
        assert_ne!(parents[0], parents[1]);
    }

    // Typed lines go to their own terminal only, however they interleave.
    for i in 0..10 {
        one.write(&format!("a{}\n", i)).unwrap();
        two.write(&format!("b{}\n", i)).unwrap();
    }
    let (mut seen_one, mut seen_two) = (String::new(), String::new());
    read_until(&mut one_out, &mut seen_one, "one:a9\r\n");
    read_until(&mut two_out, &mut seen_two, "two:b9\r\n");
    let expected = |tag: &str, key: &str| -> String {
        (0..10).map(|i| format!("{}:{}{}\r\n", tag, key, i)).collect()
    };
    assert_eq!(seen_one, expected("one", "a"));
    assert_eq!(seen_two, expected("two", "b"));

    // Collected runs and file requests are answered while all that runs,
    // from several threads at once, each getting its own answer.
    let scratch = Arc::new(Scratch::new());
    let workers: Vec<_> = (0..4)
        .map(|w| {
            let (client, scratch) = (Arc::clone(&client), Arc::clone(&scratch));
            std::thread::spawn(move || {
                for i in 0..5 {
                    let name = scratch.file(&format!("f{}-{}", w, i));
                    std::fs::write(&name, format!("{}-{}", w, i)).unwrap();
                    assert_eq!(client.read_file(&name).unwrap(), format!("{}-{}", w, i));
                    let upper = Pipeline::of([
                        Command::new("printf").arg(format!("w{}i{}", w, i)),
                        Command::new("tr").args(["a-z", "A-Z"]),
                    ]);
                    let out = client.pipeline(upper, &RunOptions::new()).unwrap();
                    assert_eq!(out.stdout, format!("W{}I{}", w, i));
                    let missing = Pipeline::of([Command::new("no-such-program-zelta")]);
                    let err = client.pipeline(missing, &RunOptions::new()).unwrap_err();
                    assert!(err.executor_text().unwrap().starts_with("spawn failed: "));
                    let unsupported = AstNode::Comment("# x".into());
                    let err = client.run(&unsupported, &RunOptions::new()).unwrap_err();
                    assert_eq!(err.executor_text(), Some("Unsupported AST root for run.ast"));
                    let pattern = format!("{}/f{}-*", scratch.dir(), w);
                    assert_eq!(client.glob(&[&pattern], None).unwrap().len(), i + 1);
                    let on_terminal = Command::new("printf").arg(format!("t{}", i)).into_node();
                    assert_eq!(
                        client.run(&on_terminal, &RunOptions::new()).unwrap().stdout,
                        format!("t{}", i)
                    );
                }
            })
        })
        .collect();
    for worker in workers {
        worker.join().unwrap();
    }

    // One run's end ends nothing else: the first terminal leaves, the second
    // still answers and the pipeline still runs.
    one.write("\u{4}").unwrap();
    assert_eq!(one.wait().unwrap().exit_code(), 0);
    two.write("still\n").unwrap();
    read_until(&mut two_out, &mut seen_two, "two:still\r\n");
    if let Some(live) = &live {
        assert_eq!(live.try_wait().unwrap(), None);
    }

    // Dropping a handle ends its run alone.
    let two_pid = two.process_id();
    drop(two);
    gone(two_pid, "the dropped terminal's command");
    // Its reader sees the end of its output.
    assert!(two_out.read_to_string(&mut String::new()).is_ok());
    if let Some(live) = &live {
        assert_eq!(live.try_wait().unwrap(), None);
        live.signal("TERM").unwrap();
        assert_eq!(live.wait().unwrap().exit_code(), 1);
    }
    assert!(none_left(&marker));
    // The client goes on serving.
    let (three, _reader) = tagger(&client, "three");
    if shared {
        assert_eq!(parent_of(three.process_id()), parents[0]);
    }
    three.write("\u{4}").unwrap();
    assert_eq!(three.wait().unwrap().exit_code(), 0);
}

#[test]
fn dropping_a_shared_client_ends_every_run_on_it() {
    let id = std::process::id();
    let stubborn = format!("1001.{}2", id);
    let endless = format!("1001.{}3", id);
    let client = client();
    if !client.shares_executor().unwrap() {
        return; // each run has an executor of its own: see the cleanup test
    }
    // A command that ignores the hang-up, and a pipeline that never ends.
    let script = format!("trap '' HUP; echo ready; exec sleep {}", stubborn);
    let mut term = client.spawn("sh", &["-c", &script], Default::default(), None, &[]).unwrap();
    let mut reader = term.take_reader().unwrap();
    read_until(&mut reader, &mut String::new(), "ready");
    let live = sleeper(&client, &endless);
    // The client goes; the handles stay, and learn that their runs are over.
    drop(client);
    assert!(matches!(term.wait(), Err(Error::Closed)));
    assert!(matches!(live.wait(), Err(Error::Closed)));
    assert!(matches!(term.write("late"), Err(Error::Ended)));
    assert!(reader.read_to_string(&mut String::new()).is_ok());
    assert_eq!(live.recv(), None);
    for marker in [&stubborn, &endless] {
        assert!(none_left(marker), "{} still runs", marker);
    }
}

#[test]
fn an_unshared_client_gives_each_terminal_an_executor_of_its_own() {
    let client = Client::with_program_unshared(executor_path()).unwrap();
    assert!(!client.shares_executor().unwrap());
    let (one, mut one_out) = tagger(&client, "u1");
    let (two, mut two_out) = tagger(&client, "u2");
    let (p1, p2) = (parent_of(one.process_id()), parent_of(two.process_id()));
    assert_ne!(p1, p2);
    if let Some(executor) = one.executor_pid() {
        assert_eq!(executor, p1);
    }
    one.write("x\n").unwrap();
    two.write("y\n").unwrap();
    read_until(&mut one_out, &mut String::new(), "u1:x\r\n");
    read_until(&mut two_out, &mut String::new(), "u2:y\r\n");
    // Dropping a handle closes its executor, and the command with it.
    drop(one);
    gone(p1, "the dropped terminal's executor");
    two.write("\u{4}").unwrap();
    assert_eq!(two.wait().unwrap().exit_code(), 0);
}
