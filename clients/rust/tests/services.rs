//! Pipelines, files, globs, process-substitution paths and "hello" through
//! the client, with the executor's error replies as error values.

mod common;

use std::sync::Arc;
use std::time::{Duration, Instant};

use common::{client, Scratch, PATIENCE};
use zelta_stdio_client::{Command, Error, Output, Pipeline, RunOptions};

#[test]
fn pipelines_give_their_output_and_the_last_members_code() {
    let client = client();
    let upper =
        Pipeline::of([Command::new("printf").arg("hi"), Command::new("tr").args(["a-z", "A-Z"])]);
    let run = client.pipeline(upper, &RunOptions::new()).unwrap();
    assert_eq!((run.stdout.as_str(), run.stderr.as_str(), run.status.exit_code()), ("HI", "", 0));

    let failing = Pipeline::new()
        .then(Command::new("printf").arg("x"))
        .then(Command::new("sh").arg("-c").arg("cat; echo oops >&2; exit 3"));
    let run = client.pipeline(failing, &RunOptions::new()).unwrap();
    assert_eq!(
        (run.stdout.as_str(), run.stderr.as_str(), run.status.exit_code()),
        ("x", "oops\n", 3)
    );

    let scratch = Scratch::new();
    let in_dir = Pipeline::of([Command::new("sh").arg("-c").arg("echo $WHO; pwd")]);
    let run =
        client.pipeline(in_dir, &RunOptions::new().cwd(scratch.dir()).env("WHO", "me")).unwrap();
    assert_eq!(run.stdout, format!("me\n{}\n", scratch.dir()));
}

#[test]
fn error_replies_are_error_values_with_the_executors_text() {
    let client = client();
    let missing = Pipeline::of([Command::new("no-such-program"), Command::new("cat")]);
    let err = client.pipeline(missing, &RunOptions::new()).unwrap_err();
    assert_eq!(err.executor_text(), Some("spawn failed: No such file or directory (os error 2)"));
    assert_eq!(err.to_string(), "spawn failed: No such file or directory (os error 2)");
    let err = client.pipeline(Pipeline::new(), &RunOptions::new()).unwrap_err();
    assert_eq!(err.executor_text(), Some("Missing pipeline commands"));
    let err = client.read_file("/nonexistent/file").unwrap_err();
    assert_eq!(err.executor_text(), Some("Read error: No such file or directory (os error 2)"));
    // The client goes on after each of them.
    assert_eq!(client.read_file("/dev/null").unwrap(), "");
}

#[test]
fn files_globs_and_process_substitution_paths() {
    let client = client();
    let scratch = Scratch::new();
    std::fs::write(scratch.file("notes.txt"), "ünïcode\nline 2\n").unwrap();
    std::fs::write(scratch.file("b.txt"), "").unwrap();
    std::fs::create_dir(scratch.file("sub")).unwrap();
    std::fs::write(scratch.path.join("sub/c.txt"), "").unwrap();
    assert_eq!(client.read_file(&scratch.file("notes.txt")).unwrap(), "ünïcode\nline 2\n");

    let dir = scratch.dir();
    assert_eq!(
        client.glob(&["*.txt"], Some(&dir)).unwrap(),
        vec![format!("{}/b.txt", dir), format!("{}/notes.txt", dir)]
    );
    assert_eq!(
        client.glob(&[&format!("{}/**/*.txt", dir), "sub/"], Some(&dir)).unwrap(),
        vec![
            format!("{}/b.txt", dir),
            format!("{}/notes.txt", dir),
            format!("{}/sub/c.txt", dir),
            format!("{}/sub", dir)
        ]
    );
    assert_eq!(client.glob(&[], None).unwrap(), Vec::<String>::new());

    let path = client.process_subst().unwrap();
    assert!(path.starts_with("/tmp/zelta-stdio-"), "{}", path);
    assert_eq!(client.process_subst().unwrap(), path);
}

#[test]
fn requests_from_several_threads_take_turns() {
    let client = Arc::new(client());
    let scratch = Scratch::new();
    let workers: Vec<_> = (0..4)
        .map(|i| {
            let client = Arc::clone(&client);
            let file = scratch.file(&format!("f{}", i));
            std::fs::write(&file, format!("file {}", i)).unwrap();
            std::thread::spawn(move || {
                for _ in 0..20 {
                    assert_eq!(client.read_file(&file).unwrap(), format!("file {}", i));
                    let echo = Pipeline::of([Command::new("echo").arg(i.to_string())]);
                    assert_eq!(
                        client.pipeline(echo, &RunOptions::new()).unwrap().stdout,
                        format!("{}\n", i)
                    );
                }
            })
        })
        .collect();
    for worker in workers {
        worker.join().unwrap();
    }
}

#[test]
fn hello_tells_the_extensions_and_live_pipelines_need_stream() {
    let client = client();
    let hello = client.hello().unwrap();
    if let Some(hello) = &hello {
        assert!(!hello.version.is_empty());
        let mut sorted = hello.extensions.clone();
        sorted.sort();
        assert_eq!(sorted, hello.extensions);
    }
    let ticking = Pipeline::of([
        Command::new("sh")
            .arg("-c")
            .arg("for i in 1 2 3; do echo tick $i; echo err $i >&2; sleep 0.2; done"),
        Command::new("cat"),
    ]);
    if !client.has_extension("stream").unwrap() {
        assert!(matches!(
            client.spawn_pipeline(ticking, &RunOptions::new()),
            Err(Error::Unsupported("stream"))
        ));
        eprintln!("skipped: the executor does not offer \"stream\"");
        return;
    }
    let run = client.spawn_pipeline(ticking, &RunOptions::new()).unwrap();
    // The first line arrives while the pipeline still runs.
    let first = run.recv_timeout(PATIENCE).unwrap();
    assert!(run.try_wait().unwrap().is_none(), "{:?}", first);
    let (mut stdout, mut stderr) = (String::new(), String::new());
    let mut piece = Some(first);
    while let Some(output) = piece {
        match output {
            Output::Stdout(text) => stdout.push_str(&text),
            Output::Stderr(text) => stderr.push_str(&text),
            Output::Bytes(bytes) => panic!("raw bytes from a pipeline: {:?}", bytes),
        }
        piece = run.recv();
    }
    assert_eq!(stdout, "tick 1\ntick 2\ntick 3\n");
    assert_eq!(stderr, "err 1\nerr 2\nerr 3\n");
    assert_eq!(run.wait().unwrap().exit_code(), 0);

    // A live pipeline can be stopped.
    let endless = Pipeline::of([Command::new("sleep").arg("1000"), Command::new("cat")]);
    let run = client.spawn_pipeline(endless, &RunOptions::new()).unwrap();
    let started = Instant::now();
    run.signal("TERM").unwrap();
    run.wait().unwrap();
    assert!(started.elapsed() < Duration::from_secs(20));
}
