//! Nothing is left running once the client and its handles are dropped: not
//! the executors, not their commands, not a command that ignores SIGHUP, not
//! a pipeline that never ends. (One test in its own binary, so that the
//! children of this process are all its own.)

mod common;

use std::sync::Arc;
use std::time::Instant;

use common::{client, none_left, processes_with, read_until, PATIENCE};
use zelta_stdio_client::{Command, Error, Pipeline, RunOptions};

/// The processes whose parent is this test process.
fn children() -> Vec<u32> {
    let me = std::process::id().to_string();
    let mut found = Vec::new();
    for entry in std::fs::read_dir("/proc").unwrap().flatten() {
        let stat = match std::fs::read_to_string(entry.path().join("stat")) {
            Ok(stat) => stat,
            Err(_) => continue,
        };
        // "pid (name) state ppid ...": the name may hold blanks, so count from its ")".
        let after_name = &stat[stat.rfind(')').map_or(0, |i| i + 1)..];
        if after_name.split_whitespace().nth(1) == Some(me.as_str()) {
            found.push(entry.file_name().to_string_lossy().parse().unwrap());
        }
    }
    found
}

fn wait_for(marker: &str) {
    let deadline = Instant::now() + PATIENCE;
    while processes_with(marker).is_empty() {
        assert!(Instant::now() < deadline, "{} never started", marker);
        std::thread::sleep(std::time::Duration::from_millis(20));
    }
}

#[test]
fn nothing_is_left_running_when_the_client_is_dropped() {
    let id = std::process::id();
    let stubborn = format!("1000.{}1", id);
    let endless = format!("1000.{}2", id);
    let live = format!("1000.{}3", id);

    let client = Arc::new(client());
    // A terminal command that ignores the hang-up of its terminal.
    let script = format!("trap '' HUP; echo ready; exec sleep {}", stubborn);
    let mut term = client.spawn("sh", &["-c", &script], Default::default(), None, &[]).unwrap();
    read_until(&mut term.take_reader().unwrap(), &mut String::new(), "ready");

    // A collected pipeline that never ends, in another thread.
    let runner = {
        let client = Arc::clone(&client);
        let endless = endless.clone();
        std::thread::spawn(move || {
            let pipeline = Pipeline::of([Command::new("sleep").arg(endless), Command::new("cat")]);
            client.pipeline(pipeline, &RunOptions::new())
        })
    };
    wait_for(&endless);

    // A live pipeline, where the executor offers them.
    let live_run = if client.has_extension("stream").unwrap() {
        let pipeline = Pipeline::of([Command::new("sleep").arg(live.clone()), Command::new("cat")]);
        let run = client.spawn_pipeline(pipeline, &RunOptions::new()).unwrap();
        wait_for(&live);
        Some(run)
    } else {
        None
    };

    // One executor for everything where it serves runs at once, else one
    // for the services and one for the terminal at least.
    let executors = if client.shares_executor().unwrap() { 1 } else { 2 };
    assert!(children().len() >= executors, "{:?}", children());
    // Closing the client ends the collected run, which reports it.
    client.close();
    assert!(matches!(runner.join().unwrap(), Err(Error::Closed)));
    drop(term);
    drop(live_run);
    drop(client);
    for marker in [&stubborn, &endless, &live] {
        assert!(none_left(marker), "{} still runs", marker);
    }
    // Every executor has exited and been reaped.
    assert_eq!(children(), Vec::<u32>::new());
}
