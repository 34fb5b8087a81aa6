//! Runs as the reader thread sees them: the state a run's handles wait on,
//! the sinks that fill it, collected runs and live pipelines.

use std::sync::atomic::{AtomicBool, AtomicUsize, Ordering};
use std::sync::mpsc::{self, Receiver, RecvTimeoutError, Sender};
use std::sync::{Arc, Condvar, Mutex, MutexGuard};
use std::time::Duration;

use crate::base64;
use crate::error::{Error, Result};
use crate::executor::{Executor, Message, Sink};
use crate::status::ExitStatus;
use crate::wire::Request;

/// A piece of a run's output, whole characters as the executor sent them.
#[derive(Debug, Clone, PartialEq, Eq)]
pub enum Output {
    Stdout(String),
    Stderr(String),
    /// The exact bytes a terminal run with raw output read.
    Bytes(Vec<u8>),
}

impl Output {
    pub(crate) fn len(&self) -> usize {
        match self {
            Output::Stdout(text) | Output::Stderr(text) => text.len(),
            Output::Bytes(bytes) => bytes.len(),
        }
    }
}

/// The leader of a terminal's foreground process group ("run.foreground").
#[derive(Debug, Clone, PartialEq, Eq)]
pub struct Foreground {
    pub pid: u32,
    /// The program's name, where the system says.
    pub name: Option<String>,
    /// Its working directory, where the system says.
    pub cwd: Option<String>,
}

/// Output waiting for a slow reader beyond which its run is paused (where the
/// executor offers "pause"): the command then blocks on its full terminal or
/// pipe instead of filling this process's memory.
const PAUSE_ABOVE: usize = 4 << 20;
/// Output still waiting below which a paused run is resumed.
const RESUME_BELOW: usize = 1 << 20;

/// Pauses a run whose reader falls behind and resumes it once the reader has
/// caught up; decided by the reader each time it takes a piece.
#[derive(Default)]
pub(crate) struct Throttle {
    paused: AtomicBool,
}

impl Throttle {
    /// The control request to send ("run.pause", "run.resume"), if any, with
    /// `queued` bytes still waiting.
    pub fn step(&self, queued: usize) -> Option<&'static str> {
        let paused = self.paused.load(Ordering::Relaxed);
        if !paused && queued >= PAUSE_ABOVE {
            self.paused.store(true, Ordering::Relaxed);
            Some("run.pause")
        } else if paused && queued <= RESUME_BELOW {
            self.paused.store(false, Ordering::Relaxed);
            Some("run.resume")
        } else {
            None
        }
    }

    /// "run.resume" if the run is paused: its reader is going away, and a
    /// paused run would never end.
    pub fn release(&self) -> Option<&'static str> {
        self.paused.swap(false, Ordering::Relaxed).then(|| "run.resume")
    }
}

/// The process ids a terminal run's "started" tells.
#[derive(Clone, Copy, Default)]
pub(crate) struct Pids {
    pub child: u32,
    pub executor: Option<u32>,
}

/// How a live run's start was answered: the process ids ("started"; none
/// for a pipeline, which has no such event), or a refusal.
pub(crate) type Started = Result<Option<Pids>>;

#[derive(Default)]
struct RunState {
    exit: Option<ExitStatus>,
    /// An error reply that ended the run after it had begun.
    error: Option<String>,
    closed: bool,
    foreground: Option<Sender<Foreground>>,
}

/// The end of a live run, shared by its handles and its sink.
#[derive(Default)]
pub(crate) struct RunShared {
    state: Mutex<RunState>,
    changed: Condvar,
    /// Bytes of output handed to the run's reader and not yet taken by it.
    queued: AtomicUsize,
}

impl RunShared {
    fn lock(&self) -> MutexGuard<'_, RunState> {
        self.state.lock().unwrap_or_else(|p| p.into_inner())
    }

    fn result(state: &RunState) -> Option<Result<ExitStatus>> {
        if let Some(status) = &state.exit {
            return Some(Ok(status.clone()));
        }
        if let Some(text) = &state.error {
            return Some(Err(Error::Executor(text.clone())));
        }
        if state.closed {
            return Some(Err(Error::Closed));
        }
        None
    }

    /// Waits at most `timeout` for the run's end; true if it has ended.
    pub fn wait_timeout(&self, timeout: Duration) -> bool {
        let deadline = std::time::Instant::now() + timeout;
        let mut state = self.lock();
        while RunShared::result(&state).is_none() {
            let left = deadline.saturating_duration_since(std::time::Instant::now());
            if left.is_zero() {
                return false;
            }
            state = self.changed.wait_timeout(state, left).unwrap_or_else(|p| p.into_inner()).0;
        }
        true
    }

    /// Blocks until the run has ended.
    pub fn wait(&self) -> Result<ExitStatus> {
        let mut state = self.lock();
        loop {
            if let Some(result) = RunShared::result(&state) {
                return result;
            }
            state = self.changed.wait(state).unwrap_or_else(|p| p.into_inner());
        }
    }

    pub fn try_wait(&self) -> Result<Option<ExitStatus>> {
        RunShared::result(&self.lock()).transpose()
    }

    pub fn has_ended(&self) -> bool {
        RunShared::result(&self.lock()).is_some()
    }

    /// Bytes of output not yet taken by the reader.
    pub fn queued(&self) -> usize {
        self.queued.load(Ordering::Relaxed)
    }

    /// Counts `bytes` of output as taken by the reader; returns what is left.
    pub fn take_queued(&self, bytes: usize) -> usize {
        self.queued.fetch_sub(bytes, Ordering::Relaxed) - bytes
    }

    /// Registers the one waiter for the next "foreground" event.
    pub fn expect_foreground(&self) -> Receiver<Foreground> {
        let (sender, receiver) = mpsc::channel();
        self.lock().foreground = Some(sender);
        receiver
    }
}

/// The sink of a run whose output is handed over as it comes: `started`
/// learns how the start went, `output` gets every "stdout" and "stderr",
/// and `shared` the end. `wait_for_started` is true for a terminal run, which
/// is under way only once "started" has come; a pipeline is once "recv" has.
pub(crate) fn live_sink(
    started: Sender<Started>,
    output: Sender<Output>,
    shared: Arc<RunShared>,
    wait_for_started: bool,
) -> Sink {
    let mut started = Some(started);
    let mut output = Some(output);
    Box::new(move |message| {
        let event = match message {
            Message::Line(line) => line,
            Message::Closed => {
                if let Some(started) = started.take() {
                    let _ = started.send(Err(Error::Closed));
                }
                output = None;
                shared.lock().closed = true;
                shared.changed.notify_all();
                return true;
            }
        };
        let kind = match event.kind.as_deref() {
            Some(kind) => kind,
            None => {
                let text = event.error.unwrap_or_default();
                output = None;
                match started.take() {
                    Some(started) => {
                        let _ = started.send(Err(Error::Executor(text)));
                    }
                    None => shared.lock().error = Some(text),
                }
                shared.changed.notify_all();
                return true;
            }
        };
        match kind {
            "recv" if !wait_for_started => {
                if let Some(started) = started.take() {
                    let _ = started.send(Ok(None));
                }
            }
            "started" => {
                if let Some(started) = started.take() {
                    let pids =
                        Pids { child: event.child_pid.unwrap_or(0), executor: event.backend_pid };
                    let _ = started.send(Ok(Some(pids)));
                }
            }
            "stdout" | "stderr" => {
                let piece = match (event.data, event.base64) {
                    (Some(data), _) if kind == "stdout" => Some(Output::Stdout(data)),
                    (Some(data), _) => Some(Output::Stderr(data)),
                    (None, Some(encoded)) => base64::decode(&encoded).map(Output::Bytes),
                    (None, None) => None,
                };
                if let (Some(output), Some(piece)) = (&output, piece) {
                    shared.queued.fetch_add(piece.len(), Ordering::Relaxed);
                    let _ = output.send(piece);
                }
            }
            "foreground" => {
                if let Some(waiter) = shared.lock().foreground.take() {
                    let _ = waiter.send(Foreground {
                        pid: event.pid.unwrap_or(0),
                        name: event.name,
                        cwd: event.cwd,
                    });
                }
            }
            "exit" => {
                if let Some(started) = started.take() {
                    let _ = started.send(Ok(None));
                }
                output = None;
                shared.lock().exit = Some(ExitStatus::from_event(&event));
                shared.changed.notify_all();
                return true;
            }
            _ => {}
        }
        false
    })
}

/// What a run produced once it has ended.
#[derive(Debug, Clone, PartialEq, Eq)]
pub struct RunOutput {
    /// The concatenated "stdout" texts (a terminal's output, or a pipeline's
    /// last member's standard output).
    pub stdout: String,
    /// The concatenated "stderr" texts (pipelines only).
    pub stderr: String,
    pub status: ExitStatus,
}

/// Runs a tree to its end and collects what it wrote; `sends_started` for a
/// single command, which runs on a terminal.
pub(crate) fn collect(
    executor: &Executor,
    run_id: String,
    sends_started: bool,
    line: &[u8],
) -> Result<RunOutput> {
    let (sender, receiver) = mpsc::channel();
    let mut stdout = String::new();
    let mut stderr = String::new();
    let sink: Sink = Box::new(move |message| {
        let event = match message {
            Message::Line(event) => event,
            Message::Closed => {
                let _ = sender.send(Err(Error::Closed));
                return true;
            }
        };
        match event.kind.as_deref() {
            None => {
                let text = event.error.unwrap_or_default();
                let _ = sender.send(Err(Error::Executor(text)));
                return true;
            }
            Some("stdout") => match (&event.data, &event.base64) {
                (Some(data), _) => stdout.push_str(data),
                (None, Some(encoded)) => {
                    let bytes = base64::decode(encoded).unwrap_or_default();
                    stdout.push_str(&String::from_utf8_lossy(&bytes));
                }
                (None, None) => {}
            },
            Some("stderr") => stderr.push_str(event.data.as_deref().unwrap_or("")),
            Some("exit") => {
                let _ = sender.send(Ok(RunOutput {
                    stdout: std::mem::take(&mut stdout),
                    stderr: std::mem::take(&mut stderr),
                    status: ExitStatus::from_event(&event),
                }));
                return true;
            }
            Some(_) => {}
        }
        false
    });
    executor.begin_run(run_id, sends_started, sink, line)?;
    receiver.recv().unwrap_or(Err(Error::Closed))
}

/// Names a signal for "run.signal": the name without "SIG". The executor
/// without the "signals" extension knows only INT, TERM and KILL, and would
/// send SIGINT for any other name, so those are refused here.
pub(crate) fn signal_name<'a>(executor: &Executor, name: &'a str) -> Result<&'a str> {
    let bare = name.strip_prefix("SIG").unwrap_or(name);
    if matches!(bare, "INT" | "TERM" | "KILL") || executor.has_extension("signals") {
        Ok(bare)
    } else {
        Err(Error::Unsupported("signals"))
    }
}

/// A pipeline whose output comes as it is written (`"stream": true`), on the
/// client's executor where it offers "concurrent", else on one of its own.
/// Dropping it ends the members that are still running.
pub struct PipelineRun {
    executor: Arc<Executor>,
    /// The executor serves this run alone and is closed with it.
    owned: bool,
    run_id: String,
    output: Receiver<Output>,
    shared: Arc<RunShared>,
    throttle: Throttle,
}

impl PipelineRun {
    /// Starts the run of `line` ("run.ast" with "stream" for `run_id`).
    pub(crate) fn start(
        executor: Arc<Executor>,
        owned: bool,
        run_id: String,
        line: &[u8],
    ) -> Result<PipelineRun> {
        let (started_sender, started) = mpsc::channel();
        let (output_sender, output) = mpsc::channel();
        let shared = Arc::new(RunShared::default());
        let sink = live_sink(started_sender, output_sender, Arc::clone(&shared), false);
        executor.begin_run(run_id.clone(), false, sink, line)?;
        started.recv().unwrap_or(Err(Error::Closed))?;
        Ok(PipelineRun { executor, owned, run_id, output, shared, throttle: Throttle::default() })
    }

    /// The run's identity on its executor.
    pub fn run_id(&self) -> &str {
        &self.run_id
    }

    /// The next piece of output, waiting for it; none once the run has ended
    /// and everything was read.
    pub fn recv(&self) -> Option<Output> {
        self.output.recv().ok().map(|piece| self.taken(piece))
    }

    /// The next piece of output if it comes within `timeout`.
    pub fn recv_timeout(&self, timeout: Duration) -> std::result::Result<Output, RecvTimeoutError> {
        self.output.recv_timeout(timeout).map(|piece| self.taken(piece))
    }

    fn taken(&self, piece: Output) -> Output {
        let left = self.shared.take_queued(piece.len());
        if self.executor.has_extension("pause") {
            if let Some(kind) = self.throttle.step(left) {
                let mut request = Request::new(kind);
                request.run_id = Some(&self.run_id);
                let _ = self.executor.send(&request.to_line());
            }
        }
        piece
    }

    /// Sends a signal to every member's process group ("INT", "TERM", ...).
    pub fn signal(&self, name: &str) -> Result<()> {
        let name = signal_name(&self.executor, name)?;
        if self.shared.has_ended() {
            return Ok(());
        }
        let mut request = Request::new("run.signal");
        request.run_id = Some(&self.run_id);
        request.signal = Some(name);
        self.executor.send(&request.to_line())
    }

    /// Waits for the end: the last member's code, or the executor's error
    /// text when a member could not be started.
    pub fn wait(&self) -> Result<ExitStatus> {
        self.shared.wait()
    }

    pub fn try_wait(&self) -> Result<Option<ExitStatus>> {
        self.shared.try_wait()
    }
}

impl Drop for PipelineRun {
    /// On a shared executor the members still running are killed; an
    /// executor of the run's own is closed, which ends them too.
    fn drop(&mut self) {
        if self.owned || self.shared.has_ended() {
            return;
        }
        if let Some(kind) = self.throttle.release() {
            let mut request = Request::new(kind);
            request.run_id = Some(&self.run_id);
            let _ = self.executor.send(&request.to_line());
        }
        let mut request = Request::new("run.signal");
        request.run_id = Some(&self.run_id);
        request.signal = Some("KILL");
        let _ = self.executor.send(&request.to_line());
    }
}
