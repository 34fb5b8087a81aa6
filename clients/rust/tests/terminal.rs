//! Commands on terminals of their own: typed input and its echo, Ctrl-C,
//! resizing, signals and exit codes, seen as a user of the handle sees them.

mod common;

use std::io::{Read, Write};
use std::time::{Duration, Instant};

use common::{client, read_until, Scratch, PATIENCE};
use zelta_stdio_client::{Command, Error, PtySize, RunOptions};

fn sh(script: &str) -> Command {
    Command::new("sh").arg("-c").arg(script)
}

#[test]
fn cat_echoes_typed_lines_and_ends_at_ctrl_d() {
    let client = client();
    let mut cat = client.spawn("cat", &[], PtySize::new(24, 80), None, &[]).unwrap();
    assert!(cat.process_id() > 0);
    let mut reader = cat.take_reader().unwrap();
    assert!(cat.take_reader().is_none());
    cat.write("hello\r").unwrap();
    // The terminal echoes the line, then cat prints it: twice in all.
    let mut seen = String::new();
    read_until(&mut reader, &mut seen, "hello\r\nhello\r\n");
    // A character split across two writes is typed whole.
    let mut writer = cat.writer();
    let e_acute = "é".as_bytes();
    writer.write_all(&e_acute[..1]).unwrap();
    writer.write_all(&e_acute[1..]).unwrap();
    writer.write_all(b"\r\x04").unwrap();
    let mut rest = String::new();
    reader.read_to_string(&mut rest).unwrap();
    assert_eq!(rest, "é\r\né\r\n");
    assert_eq!(cat.wait().unwrap().exit_code(), 0);
    assert!(cat.wait().unwrap().success());
    // Once the run is over, control requests have nothing to act on.
    assert!(matches!(cat.write("late"), Err(Error::Ended)));
    assert!(writer.write_all(b"late").is_err());
}

#[test]
fn ctrl_c_ends_the_command_with_130() {
    let client = client();
    let mut term =
        client.spawn_command(sh("echo ready; exec sleep 30"), &RunOptions::new()).unwrap();
    let mut reader = term.take_reader().unwrap();
    read_until(&mut reader, &mut String::new(), "ready");
    assert!(term.try_wait().unwrap().is_none());
    term.write("\u{3}").unwrap();
    let status = term.wait().unwrap();
    assert_eq!(status.exit_code(), 130);
    assert!(!status.success());
    if term.has_extension("exit_signal") {
        assert_eq!(status.signal(), Some("INT"));
    }
}

#[test]
fn a_resize_reaches_a_winch_trap() {
    let client = client();
    let script = "trap 'stty size' WINCH; echo ready; while :; do sleep 0.1; done";
    let mut term = client.spawn("sh", &["-c", script], PtySize::new(24, 80), None, &[]).unwrap();
    let mut reader = term.take_reader().unwrap();
    let mut seen = String::new();
    read_until(&mut reader, &mut seen, "ready");
    term.resize(PtySize::new(30, 100)).unwrap();
    read_until(&mut reader, &mut seen, "30 100");
    assert_eq!(term.get_size(), PtySize::new(30, 100));
    term.resize(PtySize::new(40, 120)).unwrap();
    read_until(&mut reader, &mut seen, "40 120");
    term.kill().unwrap();
    assert_eq!(term.wait().unwrap().exit_code(), 137);
}

#[test]
fn exit_codes_signals_cwd_and_env() {
    let client = client();
    let scratch = Scratch::new();
    let code = |command: Command| {
        let mut term = client.spawn_command(command, &RunOptions::new()).unwrap();
        let mut output = String::new();
        term.take_reader().unwrap().read_to_string(&mut output).unwrap();
        (term.wait().unwrap().exit_code(), output)
    };
    assert_eq!(code(sh("exit 7")).0, 7);
    assert_eq!(
        code(Command::new("no-such-program")),
        (127, "no-such-program: command not found\r\n".to_owned())
    );
    assert_eq!(code(Command::new(scratch.dir())).0, 126);

    let mut term = client
        .spawn(
            "sh",
            &["-c", "echo $GREETING $PWD $(stty size); exec sleep 30"],
            PtySize::new(30, 100),
            Some(&scratch.dir()),
            &[("GREETING", "hi")],
        )
        .unwrap();
    let mut reader = term.take_reader().unwrap();
    read_until(&mut reader, &mut String::new(), &format!("hi {} 30 100", scratch.dir()));
    term.signal("SIGTERM").unwrap();
    assert_eq!(term.wait().unwrap().exit_code(), 143);

    // Other signals need the executor's "signals" extension; without it the
    // executor would send SIGINT, so the client refuses them.
    let mut term =
        client.spawn_command(sh("echo ready; exec sleep 30"), &RunOptions::new()).unwrap();
    read_until(&mut term.take_reader().unwrap(), &mut String::new(), "ready");
    if term.has_extension("signals") {
        term.signal("HUP").unwrap();
        let status = term.wait().unwrap();
        assert_eq!(status.exit_code(), 129);
        if term.has_extension("exit_signal") {
            assert_eq!(status.signal(), Some("HUP"));
        }
    } else {
        assert!(matches!(term.signal("HUP"), Err(Error::Unsupported("signals"))));
        term.signal("INT").unwrap();
        assert_eq!(term.wait().unwrap().exit_code(), 130);
    }
}

#[test]
fn the_foreground_program_is_named_where_the_executor_tells() {
    let client = client();
    let mut term =
        client.spawn_command(sh("echo ready; exec sleep 30"), &RunOptions::new()).unwrap();
    read_until(&mut term.take_reader().unwrap(), &mut String::new(), "ready");
    // "ready" comes before the exec: the shell may still lead the group for a moment.
    let deadline = Instant::now() + Duration::from_secs(30);
    loop {
        match term.foreground() {
            Ok(foreground) => {
                assert_eq!(foreground.pid, term.process_id());
                if foreground.name.as_deref() == Some("sleep") {
                    break;
                }
                assert!(Instant::now() < deadline, "{:?}", foreground.name);
                std::thread::sleep(Duration::from_millis(50));
            }
            Err(err) => {
                assert!(matches!(err, Error::Unsupported("foreground")), "{}", err);
                break;
            }
        }
    }
    term.kill().unwrap();
    term.wait().unwrap();
}

#[test]
fn a_reader_that_falls_behind_pauses_the_command_and_loses_nothing() {
    let client = client();
    let scratch = Scratch::new();
    let done = scratch.file("done");
    let size = 30_000_000;
    let script = format!("head -c {} /dev/zero | tr '\\0' x; touch {}", size, done);
    let mut term = client.spawn_command(sh(&script), &RunOptions::new()).unwrap();
    if !term.has_extension("pause") {
        assert!(matches!(term.pause(), Err(Error::Unsupported("pause"))));
        term.kill().unwrap();
        eprintln!("skipped: the executor does not offer \"pause\"");
        return;
    }
    let mut reader = term.take_reader().unwrap();
    let deadline = Instant::now() + PATIENCE;
    while reader.queued_bytes() < 5 << 20 {
        assert!(Instant::now() < deadline, "only {} bytes came", reader.queued_bytes());
        std::thread::sleep(Duration::from_millis(5));
    }
    // Taking a piece with more than 4 MiB behind it pauses the run: the
    // command blocks on its full terminal, and the backlog stops growing.
    let mut total = reader.recv_timeout(PATIENCE).unwrap().len();
    std::thread::sleep(Duration::from_secs(1));
    let held = reader.queued_bytes();
    std::thread::sleep(Duration::from_millis(500));
    assert_eq!(reader.queued_bytes(), held);
    assert!(!std::path::Path::new(&done).exists());
    // Reading on resumes it; every byte arrives.
    let mut buffer = vec![0u8; 1 << 16];
    loop {
        let n = reader.read(&mut buffer).unwrap();
        if n == 0 {
            break;
        }
        assert!(buffer[..n].iter().all(|&b| b == b'x'));
        total += n;
    }
    assert_eq!(total, size);
    assert_eq!(term.wait().unwrap().exit_code(), 0);
    assert!(std::path::Path::new(&done).exists());
}

#[test]
fn raw_output_carries_the_exact_bytes_both_ways() {
    let client = client();
    let raw = RunOptions::new().raw_output(true);
    let printf = Command::new("printf").arg("\\351\\377ok");
    if !client.has_extension("raw_output").unwrap() {
        assert!(matches!(
            client.spawn_command(printf, &raw),
            Err(Error::Unsupported("raw_output"))
        ));
        eprintln!("skipped: the executor does not offer \"raw_output\"");
        return;
    }
    let mut term = client.spawn_command(printf, &raw).unwrap();
    let mut bytes = Vec::new();
    term.take_reader().unwrap().read_to_end(&mut bytes).unwrap();
    assert_eq!(bytes, b"\xe9\xffok");

    // Bytes that are not UTF-8 are typed as they are.
    let script = "stty raw -echo; echo ready; head -c 2 | od -An -tx1";
    let mut term = client.spawn_command(sh(script), &raw).unwrap();
    let mut reader = term.take_reader().unwrap();
    let mut seen = String::new();
    read_until(&mut reader, &mut seen, "ready");
    term.writer().write_all(b"\xe9\xff").unwrap();
    read_until(&mut reader, &mut seen, "e9 ff");
    assert_eq!(term.wait().unwrap().exit_code(), 0);
}
