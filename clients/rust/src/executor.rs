//! One executor process: its pipes, the thread that reads its lines, and the
//! requests and runs it is serving.
//!
//! Without "concurrent" the executor serves one request at a time and a run
//! to its end, so a request waits here until the previous one has its reply
//! or its "exit": a line written during a run would be consumed by that run
//! and lost. With "concurrent" switched on, requests are written as they
//! come: events reach their run by `run_id`, and replies (which carry none)
//! reach their requests in the order the requests were written.

use std::collections::{HashMap, VecDeque};
use std::io::{self, Read, Write};
use std::os::unix::io::AsRawFd;
use std::os::unix::net::UnixStream;
use std::os::unix::process::CommandExt;
use std::path::Path;
use std::process::{Child, ChildStdin, ChildStdout, Command, Stdio};
use std::sync::atomic::{AtomicU64, Ordering};
use std::sync::mpsc;
use std::sync::{Arc, Condvar, Mutex, MutexGuard};
use std::thread::{self, JoinHandle};
use std::time::{Duration, Instant};

use crate::error::{Error, Result};
use crate::sys;
use crate::wire::{is_stray_control_reply, Incoming, Request};

/// How long a closed executor may take to end its command and exit before it
/// is killed (it gives a hung-up command half a second).
const EXIT_GRACE: Duration = Duration::from_secs(5);

/// Extensions the client switches on in every executor that has them:
/// exit events that name the signal, and every signal name for "run.signal".
const WANTED_EXTENSIONS: [&str; 2] = ["exit_signal", "signals"];

/// The extension that lets one executor serve every run at once.
const CONCURRENT: &str = "concurrent";

/// A request the reader thread expects a reply to, on a concurrent executor,
/// in the order the requests were written.
enum Pending {
    /// A request answered by exactly one reply.
    Reply(Sink),
    /// A "run.ast" that may still be refused by an error reply. It is
    /// settled (no reply will come) once its run sends any event but "recv".
    Run(String),
    /// The "process_subst" written right behind a "run.ast" that sends no
    /// "started": everything the run's request produces at once comes before
    /// this reply, so the reply tells that the run was not refused.
    Barrier,
}

/// What the reader thread hands to the request or run being served.
pub(crate) enum Message {
    Line(Incoming),
    /// The executor's output ended (it exited or was closed).
    Closed,
}

/// Receives the messages of the request being served, on the reader thread.
/// Returns true once the request is over (its reply, or its run's "exit").
pub(crate) type Sink = Box<dyn FnMut(Message) -> bool + Send>;

struct Route {
    /// The run's identity; none for a request answered by one reply.
    run_id: Option<String>,
    sink: Sink,
}

#[derive(Default)]
struct State {
    /// The one request or run being served, without "concurrent".
    route: Option<Route>,
    /// "concurrent" is on: the fields below are used instead of `route`.
    concurrent: bool,
    /// The live runs by their identity.
    runs: HashMap<String, Sink>,
    /// Requests written that may still get a reply, oldest first.
    pending: VecDeque<Pending>,
    closed: bool,
}

#[derive(Default)]
struct Shared {
    state: Mutex<State>,
    idle: Condvar,
}

impl Shared {
    fn lock(&self) -> MutexGuard<'_, State> {
        // A sink that panicked poisons nothing the state relies on.
        self.state.lock().unwrap_or_else(|poisoned| poisoned.into_inner())
    }
}

/// What a "hello" told about the executor.
#[derive(Debug, Clone, PartialEq, Eq)]
pub struct Hello {
    pub version: String,
    /// The sorted names of every extension the executor has.
    pub extensions: Vec<String>,
}

pub(crate) struct Executor {
    child: Mutex<Option<Child>>,
    stdin: Mutex<Option<ChildStdin>>,
    shared: Arc<Shared>,
    /// Dropping it wakes the reader thread, which then closes the executor's
    /// standard output: the executor takes that as its front end gone.
    wake: Mutex<Option<UnixStream>>,
    reader: Mutex<Option<JoinHandle<()>>>,
    next_run: AtomicU64,
    hello: Option<Hello>,
}

impl Executor {
    /// Starts `program` in a session of its own and asks what it offers;
    /// `concurrent` asks it to serve every run at once where it can.
    pub fn start(program: &Path, concurrent: bool) -> Result<Executor> {
        let mut command = Command::new(program);
        command.stdin(Stdio::piped()).stdout(Stdio::piped()).stderr(Stdio::null());
        // SAFETY: the closure only calls setsid, which is async-signal-safe.
        unsafe {
            command.pre_exec(sys::new_session);
        }
        let start_error = |source| Error::Start { program: program.display().to_string(), source };
        let mut child = command.spawn().map_err(start_error)?;
        let (stdin, stdout) = match (child.stdin.take(), child.stdout.take()) {
            (Some(stdin), Some(stdout)) => (stdin, stdout),
            _ => return Err(Error::Closed),
        };
        let shared = Arc::new(Shared::default());
        let (wake, woken) = match UnixStream::pair() {
            Ok(pair) => pair,
            Err(err) => {
                let _ = child.kill();
                let _ = child.wait();
                return Err(Error::Io(err));
            }
        };
        let reader_shared = Arc::clone(&shared);
        let reader = thread::Builder::new()
            .name("zelta-stdio-reader".into())
            .spawn(move || read_lines(stdout, woken, reader_shared));
        let mut executor = Executor {
            child: Mutex::new(Some(child)),
            stdin: Mutex::new(Some(stdin)),
            shared,
            wake: Mutex::new(Some(wake)),
            reader: Mutex::new(None),
            next_run: AtomicU64::new(0),
            hello: None,
        };
        // On failure the executor is dropped, which closes and reaps it.
        *executor.reader.lock().unwrap_or_else(|p| p.into_inner()) = Some(reader?);
        let mut wanted = WANTED_EXTENSIONS.to_vec();
        if concurrent {
            wanted.push(CONCURRENT);
        }
        executor.hello = executor.say_hello(&wanted)?;
        if concurrent && executor.has_extension(CONCURRENT) {
            // Nothing is in flight yet: the hello's reply has come.
            executor.shared.lock().concurrent = true;
        }
        Ok(executor)
    }

    /// The executor's answer to "hello", or none for one that does not know it.
    pub fn hello(&self) -> Option<&Hello> {
        self.hello.as_ref()
    }

    pub fn has_extension(&self, name: &str) -> bool {
        self.hello.as_ref().map_or(false, |h| h.extensions.iter().any(|e| e == name))
    }

    /// Whether "concurrent" is on: every run and request is served at once.
    pub fn is_concurrent(&self) -> bool {
        self.shared.lock().concurrent
    }

    /// A run identity unique within this executor.
    pub fn new_run_id(&self) -> String {
        format!("r{}", self.next_run.fetch_add(1, Ordering::Relaxed) + 1)
    }

    fn say_hello(&self, extensions: &[&str]) -> Result<Option<Hello>> {
        let mut request = Request::new("hello");
        request.extensions = Some(extensions);
        match self.request(&request) {
            Ok(reply) => Ok(Some(Hello {
                version: reply.version.unwrap_or_default(),
                extensions: reply.extensions.unwrap_or_default(),
            })),
            Err(Error::Executor(text)) if text == "Unknown: hello" => Ok(None),
            Err(err) => Err(err),
        }
    }

    /// Writes a request answered by one reply and waits for it; an error
    /// reply becomes `Error::Executor` with its text.
    pub fn request(&self, request: &Request<'_>) -> Result<Incoming> {
        let (sender, receiver) = mpsc::channel();
        let sink: Sink = Box::new(move |message| {
            let _ = sender.send(message);
            true
        });
        self.begin(None, sink, &request.to_line())?;
        match receiver.recv() {
            Ok(Message::Line(reply)) => reply_result(reply),
            Ok(Message::Closed) | Err(_) => Err(Error::Closed),
        }
    }

    /// Starts the run `run_id` of the "run.ast" `line`, whose messages go to
    /// `sink`. `sends_started` tells that the run (a single command on a
    /// terminal) answers with "started" unless it is refused.
    pub fn begin_run(
        &self,
        run_id: String,
        sends_started: bool,
        sink: Sink,
        line: &[u8],
    ) -> Result<()> {
        if !self.is_concurrent() {
            return self.begin(Some(run_id), sink, line);
        }
        let mut stdin = self.stdin.lock().unwrap_or_else(|p| p.into_inner());
        let pipe = stdin.as_mut().ok_or(Error::Closed)?;
        {
            let mut state = self.shared.lock();
            if state.closed {
                return Err(Error::Closed);
            }
            state.runs.insert(run_id.clone(), sink);
            state.pending.push_back(Pending::Run(run_id.clone()));
            if !sends_started {
                state.pending.push_back(Pending::Barrier);
            }
        }
        let mut lines = line.to_vec();
        if !sends_started {
            lines.extend_from_slice(&Request::new("process_subst").to_line());
        }
        // The pending entries are pushed and the lines written under the
        // input lock, so the replies come back in the order of `pending`.
        let written = write_to(pipe, &lines);
        if written.is_err() {
            let mut state = self.shared.lock();
            state.runs.remove(&run_id);
            let ours = if sends_started { 1 } else { 2 };
            let keep = state.pending.len().saturating_sub(ours);
            state.pending.truncate(keep);
        }
        written
    }

    /// Routes the messages of `run_id` (or the next reply) to `sink` and
    /// writes `line`; without "concurrent", waits until the executor is free.
    pub fn begin(&self, run_id: Option<String>, sink: Sink, line: &[u8]) -> Result<()> {
        if self.is_concurrent() {
            if let Some(run_id) = run_id {
                return self.begin_run(run_id, false, sink, line);
            }
            let mut stdin = self.stdin.lock().unwrap_or_else(|p| p.into_inner());
            let pipe = stdin.as_mut().ok_or(Error::Closed)?;
            {
                let mut state = self.shared.lock();
                if state.closed {
                    return Err(Error::Closed);
                }
                state.pending.push_back(Pending::Reply(sink));
            }
            let written = write_to(pipe, line);
            if written.is_err() {
                self.shared.lock().pending.pop_back();
            }
            return written;
        }
        let mut state = self.shared.lock();
        while state.route.is_some() && !state.closed {
            state = self.shared.idle.wait(state).unwrap_or_else(|p| p.into_inner());
        }
        if state.closed {
            return Err(Error::Closed);
        }
        state.route = Some(Route { run_id, sink });
        // The route stays set while the line is written, so no other request
        // can be written in between.
        drop(state);
        if let Err(err) = self.send(line) {
            let mut state = self.shared.lock();
            state.route = None;
            self.shared.idle.notify_all();
            return Err(err);
        }
        Ok(())
    }

    /// Writes one line (a control request, which gets no reply).
    pub fn send(&self, line: &[u8]) -> Result<()> {
        let mut stdin = self.stdin.lock().unwrap_or_else(|p| p.into_inner());
        let pipe = stdin.as_mut().ok_or(Error::Closed)?;
        write_to(pipe, line)
    }

    /// True once the executor's output has ended.
    pub fn is_closed(&self) -> bool {
        self.shared.lock().closed
    }
}

impl Executor {
    /// Closes both pipes: an idle executor exits at the end of its input, a
    /// busy one ends its run (a terminal hangs up, pipeline members are
    /// killed) when it finds its output closed. The request being served
    /// gets `Error::Closed`.
    pub fn shutdown(&self) {
        drop(self.stdin.lock().unwrap_or_else(|p| p.into_inner()).take());
        drop(self.wake.lock().unwrap_or_else(|p| p.into_inner()).take());
    }
}

impl Drop for Executor {
    /// Shuts the executor down and reaps it, killing it only if it is still
    /// there after a grace period.
    fn drop(&mut self) {
        self.shutdown();
        if let Some(reader) = self.reader.get_mut().unwrap_or_else(|p| p.into_inner()).take() {
            let _ = reader.join();
        }
        if let Some(mut child) = self.child.get_mut().unwrap_or_else(|p| p.into_inner()).take() {
            let deadline = Instant::now() + EXIT_GRACE;
            loop {
                match child.try_wait() {
                    Ok(Some(_)) | Err(_) => break,
                    Ok(None) if Instant::now() >= deadline => {
                        let _ = child.kill();
                        let _ = child.wait();
                        break;
                    }
                    Ok(None) => thread::sleep(Duration::from_millis(5)),
                }
            }
        }
    }
}

fn write_to(pipe: &mut ChildStdin, bytes: &[u8]) -> Result<()> {
    pipe.write_all(bytes).map_err(|err| {
        if err.kind() == io::ErrorKind::BrokenPipe {
            Error::Closed
        } else {
            Error::Io(err)
        }
    })
}

fn reply_result(reply: Incoming) -> Result<Incoming> {
    if reply.exit_code == Some(0) {
        Ok(reply)
    } else {
        Err(Error::Executor(reply.error.unwrap_or_default()))
    }
}

/// The reader thread: cuts the executor's output into lines and hands each to
/// the route it belongs to, until the output ends or `woken` is closed.
fn read_lines(mut stdout: ChildStdout, mut woken: UnixStream, shared: Arc<Shared>) {
    let mut buffer = vec![0u8; 64 * 1024];
    let mut pending: Vec<u8> = Vec::new();
    loop {
        let (output, stop) = match sys::wait_readable(stdout.as_raw_fd(), woken.as_raw_fd()) {
            Ok(ready) => ready,
            Err(_) => break,
        };
        if stop {
            let mut byte = [0u8; 1];
            if !matches!(woken.read(&mut byte), Ok(n) if n > 0) {
                break;
            }
        }
        if !output {
            continue;
        }
        let n = match stdout.read(&mut buffer) {
            Ok(0) => break,
            Ok(n) => n,
            Err(err) if err.kind() == io::ErrorKind::Interrupted => continue,
            Err(_) => break,
        };
        let chunk = &buffer[..n];
        let mut start = 0;
        while let Some(offset) = chunk[start..].iter().position(|&b| b == b'\n') {
            let end = start + offset;
            if pending.is_empty() {
                dispatch(&shared, &chunk[start..end]);
            } else {
                pending.extend_from_slice(&chunk[start..end]);
                dispatch(&shared, &pending);
                pending.clear();
            }
            start = end + 1;
        }
        pending.extend_from_slice(&chunk[start..]);
    }
    let mut state = shared.lock();
    state.closed = true;
    if let Some(mut route) = state.route.take() {
        (route.sink)(Message::Closed);
    }
    for (_, mut sink) in state.runs.drain() {
        sink(Message::Closed);
    }
    for pending in std::mem::take(&mut state.pending) {
        if let Pending::Reply(mut sink) = pending {
            sink(Message::Closed);
        }
    }
    shared.idle.notify_all();
}

fn dispatch(shared: &Shared, line: &[u8]) {
    let message: Incoming = match serde_json::from_slice(line) {
        Ok(message) => message,
        // The executor writes only JSON objects; anything else is not for us.
        Err(_) => return,
    };
    let mut state = shared.lock();
    if state.concurrent {
        dispatch_concurrent(&mut state, message);
        return;
    }
    let route = match state.route.as_mut() {
        Some(route) => route,
        None => return,
    };
    let finished = if message.is_event() {
        if message.run_id.is_none() || message.run_id != route.run_id {
            return;
        }
        (route.sink)(Message::Line(message))
    } else {
        if is_stray_control_reply(&message) {
            return;
        }
        // A reply answers the request, or refuses the run: either way it is
        // the last line the request gets.
        (route.sink)(Message::Line(message));
        true
    };
    if finished {
        state.route = None;
        shared.idle.notify_all();
    }
}

/// Hands a line of a concurrent executor to its run (an event) or to the
/// oldest request still waiting for a reply.
fn dispatch_concurrent(state: &mut State, message: Incoming) {
    if message.is_event() {
        let run_id = match message.run_id.as_deref() {
            Some(run_id) => run_id.to_owned(),
            None => return,
        };
        if message.kind.as_deref() != Some("recv") {
            // The run is under way: no error reply will come for it.
            state.pending.retain(|p| !matches!(p, Pending::Run(id) if *id == run_id));
        }
        if let Some(sink) = state.runs.get_mut(&run_id) {
            if sink(Message::Line(message)) {
                state.runs.remove(&run_id);
            }
        }
        return;
    }
    match state.pending.pop_front() {
        Some(Pending::Reply(mut sink)) => {
            sink(Message::Line(message));
        }
        Some(Pending::Run(run_id)) => {
            let barrier_next = matches!(state.pending.front(), Some(Pending::Barrier));
            if barrier_next && message.exit_code == Some(0) {
                // The barrier's answer: the run was not refused.
                state.pending.pop_front();
            } else if let Some(mut sink) = state.runs.remove(&run_id) {
                sink(Message::Line(message));
            }
        }
        // The barrier of a run already known to be under way, or a reply
        // nobody asked for.
        Some(Pending::Barrier) | None => {}
    }
}

#[cfg(test)]
mod tests {
    use super::*;
    use std::sync::mpsc::Receiver;

    /// A sink that passes on what it gets; it finishes on a reply or "exit".
    fn recorder() -> (Sink, Receiver<Option<Incoming>>) {
        let (sender, receiver) = mpsc::channel();
        let sink: Sink = Box::new(move |message| {
            let line = match message {
                Message::Line(line) => line,
                Message::Closed => {
                    let _ = sender.send(None);
                    return true;
                }
            };
            let done = line.kind.is_none() || line.kind.as_deref() == Some("exit");
            let _ = sender.send(Some(line));
            done
        });
        (sink, receiver)
    }

    fn feed(state: &mut State, line: &str) {
        dispatch_concurrent(state, serde_json::from_str(line).unwrap());
    }

    fn got(receiver: &Receiver<Option<Incoming>>) -> Vec<String> {
        receiver
            .try_iter()
            .map(|line| match line {
                Some(line) => line.kind.or(line.error).or(line.temp_path).unwrap_or_default(),
                None => "closed".into(),
            })
            .collect()
    }

    #[test]
    fn replies_follow_request_order_and_barriers_settle_pipelines() {
        let mut state = State { concurrent: true, ..State::default() };
        let (p1, p1_lines) = recorder();
        let (p2, p2_lines) = recorder();
        let (t1, t1_lines) = recorder();
        let (read, read_lines) = recorder();
        let (glob, glob_lines) = recorder();
        // p1 (a pipeline that starts), p2 (one that is refused), the
        // terminal t1 (refused), then two requests answered by replies.
        state.runs.insert("p1".into(), p1);
        state.runs.insert("p2".into(), p2);
        state.runs.insert("t1".into(), t1);
        state.pending.extend([
            Pending::Run("p1".into()),
            Pending::Barrier,
            Pending::Run("p2".into()),
            Pending::Barrier,
            Pending::Run("t1".into()),
            Pending::Reply(read),
            Pending::Reply(glob),
        ]);
        feed(&mut state, r#"{"msg_type":"run.ast","run_id":"p1","type":"recv"}"#);
        feed(&mut state, r#"{"exit_code":0,"temp_path":"/tmp/zelta-stdio-1"}"#);
        feed(&mut state, r#"{"msg_type":"run.ast","run_id":"p2","type":"recv"}"#);
        feed(&mut state, r#"{"data":"a","run_id":"p1","stdout":"a","type":"stdout"}"#);
        feed(&mut state, r#"{"exit_code":1,"error":"spawn failed: x"}"#);
        feed(&mut state, r#"{"exit_code":0,"temp_path":"/tmp/zelta-stdio-1"}"#);
        feed(&mut state, r#"{"exit_code":1,"error":"Too many runs"}"#);
        feed(&mut state, r#"{"exit_code":1,"error":"Read error: gone"}"#);
        feed(&mut state, r#"{"exit_code":0,"glob_matches":[]}"#);
        feed(&mut state, r#"{"exit_code":0,"run_id":"p1","type":"exit"}"#);
        // Events of a run nobody waits for, and a reply nobody asked for.
        feed(&mut state, r#"{"exit_code":0,"run_id":"zz","type":"exit"}"#);
        feed(&mut state, r#"{"exit_code":1,"error":"Parse error"}"#);
        assert_eq!(got(&p1_lines), ["recv", "stdout", "exit"]);
        assert_eq!(got(&p2_lines), ["recv", "spawn failed: x"]);
        assert_eq!(got(&t1_lines), ["Too many runs"]);
        assert_eq!(got(&read_lines), ["Read error: gone"]);
        assert_eq!(got(&glob_lines), [""]);
        assert!(state.runs.is_empty() && state.pending.is_empty());
    }

    #[test]
    fn a_started_run_is_settled_before_its_barrier_or_the_next_reply() {
        let mut state = State { concurrent: true, ..State::default() };
        let (t1, t1_lines) = recorder();
        let (p1, p1_lines) = recorder();
        let (read, read_lines) = recorder();
        state.runs.insert("t1".into(), t1);
        state.runs.insert("p1".into(), p1);
        state.pending.extend([
            Pending::Run("t1".into()),
            Pending::Run("p1".into()),
            Pending::Barrier,
            Pending::Reply(read),
        ]);
        feed(&mut state, r#"{"msg_type":"run.ast","run_id":"t1","type":"recv"}"#);
        feed(
            &mut state,
            r#"{"backend_pid":1,"child_pid":2,"command":"sh","run_id":"t1","type":"started"}"#,
        );
        // p1 writes and ends before its barrier is answered.
        feed(&mut state, r#"{"msg_type":"run.ast","run_id":"p1","type":"recv"}"#);
        feed(&mut state, r#"{"exit_code":3,"run_id":"p1","type":"exit"}"#);
        assert_eq!(state.pending.len(), 2);
        feed(&mut state, r#"{"exit_code":0,"temp_path":"/tmp/zelta-stdio-1"}"#);
        feed(&mut state, r#"{"exit_code":1,"error":"Read error: gone"}"#);
        assert_eq!(got(&t1_lines), ["recv", "started"]);
        assert_eq!(got(&p1_lines), ["recv", "exit"]);
        assert_eq!(got(&read_lines), ["Read error: gone"]);
        // The live terminal alone is left; the end of the output closes it.
        assert_eq!(state.runs.len(), 1);
        assert!(state.pending.is_empty());
    }
}
