//! One executor process: its pipes, the thread that reads its lines, and the
//! one request or run it is serving.
//!
//! The executor serves one request at a time and a run to its end, so a
//! request waits here until the previous one has its reply or its "exit":
//! a line written during a run would be consumed by that run and lost.

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
    route: Option<Route>,
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
    /// Starts `program` in a session of its own and asks what it offers.
    pub fn start(program: &Path) -> Result<Executor> {
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
        executor.hello = executor.say_hello(&WANTED_EXTENSIONS)?;
        Ok(executor)
    }

    /// The executor's answer to "hello", or none for one that does not know it.
    pub fn hello(&self) -> Option<&Hello> {
        self.hello.as_ref()
    }

    pub fn has_extension(&self, name: &str) -> bool {
        self.hello.as_ref().map_or(false, |h| h.extensions.iter().any(|e| e == name))
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

    /// Waits until the executor is free, routes the messages of `run_id`
    /// (or the next reply) to `sink`, and writes `line`.
    pub fn begin(&self, run_id: Option<String>, sink: Sink, line: &[u8]) -> Result<()> {
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
        pipe.write_all(line).map_err(|err| {
            if err.kind() == io::ErrorKind::BrokenPipe {
                Error::Closed
            } else {
                Error::Io(err)
            }
        })
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
    shared.idle.notify_all();
}

fn dispatch(shared: &Shared, line: &[u8]) {
    let message: Incoming = match serde_json::from_slice(line) {
        Ok(message) => message,
        // The executor writes only JSON objects; anything else is not for us.
        Err(_) => return,
    };
    let mut state = shared.lock();
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
