//! A command on a pseudo-terminal of its own, on the client's executor where
//! it offers "concurrent", else on an executor of its own: a reader of its
//! output, typed input, resizing, signals and its exit.

use std::io::{self, Read, Write};
use std::sync::mpsc::{self, Receiver, RecvTimeoutError};
use std::sync::{Arc, Mutex, Weak};
use std::time::Duration;

use crate::base64;
use crate::error::{Error, Result};
use crate::executor::Executor;
use crate::options::PtySize;
use crate::run::{live_sink, signal_name, Foreground, Output, RunShared, Throttle};
use crate::status::ExitStatus;
use crate::wire::Request;

/// How long "run.foreground" may take to be answered.
const FOREGROUND_TIMEOUT: Duration = Duration::from_secs(10);

/// How long a command on a shared executor has to leave after its handle is
/// dropped (it gets SIGHUP, as from a hung-up terminal) before it is killed.
const HANGUP_GRACE: Duration = Duration::from_millis(500);

/// What a terminal handle and its writers share.
struct Control {
    executor: Arc<Executor>,
    /// The executor serves this run alone and is closed with it.
    owned: bool,
    run_id: String,
    shared: Arc<RunShared>,
}

impl Drop for Control {
    /// An executor of the terminal's own is closed, which hangs up the
    /// terminal. On a shared executor the command gets what a hang-up gives
    /// it: SIGHUP, then SIGKILL if it is still there after a grace period.
    fn drop(&mut self) {
        if self.owned || self.shared.has_ended() {
            return;
        }
        if self.executor.has_extension("pause") {
            // A paused run would hold its end back for ever.
            let _ = self.send(Request::new("run.resume"));
        }
        let hangup = if self.executor.has_extension("signals") { "HUP" } else { "TERM" };
        let mut request = Request::new("run.signal");
        request.signal = Some(hangup);
        if self.send(request).is_err() || self.shared.wait_timeout(HANGUP_GRACE) {
            return;
        }
        let mut request = Request::new("run.signal");
        request.signal = Some("KILL");
        let _ = self.send(request);
    }
}

impl Control {
    /// Writes a control request for this run; nothing once the run is over,
    /// since the executor would answer it as an unknown request.
    fn send<'a>(&'a self, mut request: Request<'a>) -> Result<()> {
        if self.shared.has_ended() {
            return Err(Error::Ended);
        }
        request.run_id = Some(&self.run_id);
        self.executor.send(&request.to_line())
    }

    fn type_text(&self, text: &str) -> Result<()> {
        let mut request = Request::new("stdin.write");
        request.data = Some(text);
        self.send(request)
    }

    /// Types bytes that need not be UTF-8, as `base64` where the executor
    /// offers "raw_output" (which brings that key of "stdin.write").
    fn type_bytes(&self, bytes: &[u8]) -> Result<()> {
        if let Ok(text) = std::str::from_utf8(bytes) {
            return self.type_text(text);
        }
        if !self.executor.has_extension("raw_output") {
            return Err(Error::Unsupported("raw_output"));
        }
        let encoded = base64::encode(bytes);
        let mut request = Request::new("stdin.write");
        request.base64 = Some(&encoded);
        self.send(request)
    }
}

/// A running command on its own terminal (the shape of a pty master and its
/// child together). Dropping the handle and its writers hangs up the
/// terminal and ends the command; other runs of a shared executor go on.
pub struct Terminal {
    control: Arc<Control>,
    pid: u32,
    executor_pid: Option<u32>,
    size: Mutex<PtySize>,
    reader: Option<TerminalReader>,
}

impl Terminal {
    /// Starts the run of `line` ("run.ast" for `run_id`) and waits for "started".
    pub(crate) fn start(
        executor: Arc<Executor>,
        owned: bool,
        run_id: String,
        line: &[u8],
        size: PtySize,
    ) -> Result<Terminal> {
        let (started_sender, started) = mpsc::channel();
        let (output_sender, output) = mpsc::channel();
        let shared = Arc::new(RunShared::default());
        let sink = live_sink(started_sender, output_sender, Arc::clone(&shared), true);
        executor.begin_run(run_id.clone(), true, sink, line)?;
        let pids = started.recv().unwrap_or(Err(Error::Closed))?.unwrap_or_default();
        let reader_shared = Arc::clone(&shared);
        let control = Arc::new(Control { executor, owned, run_id, shared });
        let reader = TerminalReader {
            shared: reader_shared,
            output,
            piece: Vec::new(),
            offset: 0,
            control: Arc::downgrade(&control),
            throttle: Throttle::default(),
        };
        Ok(Terminal {
            control,
            pid: pids.child,
            executor_pid: pids.executor,
            size: Mutex::new(size),
            reader: Some(reader),
        })
    }

    /// The command's process id.
    pub fn process_id(&self) -> u32 {
        self.pid
    }

    /// The process id of the executor that runs the command, as its
    /// "started" told it: the same for every terminal of a client whose
    /// executor offers "concurrent".
    pub fn executor_pid(&self) -> Option<u32> {
        self.executor_pid
    }

    /// The run's identity on its executor.
    pub fn run_id(&self) -> &str {
        &self.control.run_id
    }

    /// The reader of the terminal's output; there is one, taken once.
    pub fn take_reader(&mut self) -> Option<TerminalReader> {
        self.reader.take()
    }

    /// A writer that types into the terminal; there may be any number.
    pub fn writer(&self) -> TerminalWriter {
        TerminalWriter { control: Arc::clone(&self.control), partial: Vec::new() }
    }

    /// Types `text` (keys as bytes: "\r" Enter, "\u{3}" Ctrl-C, "\u{4}" Ctrl-D).
    pub fn write(&self, text: &str) -> Result<()> {
        self.control.type_text(text)
    }

    /// Types bytes: UTF-8 as text, anything else as exact bytes where the
    /// executor has the "raw_output" extension.
    pub fn write_bytes(&self, bytes: &[u8]) -> Result<()> {
        self.control.type_bytes(bytes)
    }

    /// Sets the terminal's size; the foreground programs get SIGWINCH.
    pub fn resize(&self, size: PtySize) -> Result<()> {
        let mut request = Request::new("run.resize");
        request.rows = Some(size.rows);
        request.cols = Some(size.cols);
        self.control.send(request)?;
        *self.size.lock().unwrap_or_else(|p| p.into_inner()) = size;
        Ok(())
    }

    pub fn get_size(&self) -> PtySize {
        *self.size.lock().unwrap_or_else(|p| p.into_inner())
    }

    /// Sends a signal to the command's process: "INT", "TERM" and "KILL"
    /// always, any other name ("HUP", "USR1", "SIGCONT") where the executor
    /// has the "signals" extension.
    pub fn signal(&self, name: &str) -> Result<()> {
        let name = signal_name(&self.control.executor, name)?;
        let mut request = Request::new("run.signal");
        request.signal = Some(name);
        self.control.send(request)
    }

    /// SIGKILL to the command.
    pub fn kill(&self) -> Result<()> {
        self.signal("KILL")
    }

    /// Asks for output waiting on the terminal at once, within `timeout_ms`.
    pub fn flush_output(&self, timeout_ms: u64) -> Result<()> {
        let mut request = Request::new("stream.flush");
        request.timeout_ms = Some(timeout_ms);
        self.control.send(request)
    }

    /// The program in the terminal's foreground (the shell, or what it runs),
    /// where the executor has the "foreground" extension.
    pub fn foreground(&self) -> Result<Foreground> {
        if !self.control.executor.has_extension("foreground") {
            return Err(Error::Unsupported("foreground"));
        }
        let answer = self.control.shared.expect_foreground();
        self.control.send(Request::new("run.foreground"))?;
        match answer.recv_timeout(FOREGROUND_TIMEOUT) {
            Ok(foreground) => Ok(foreground),
            Err(_) => Err(Error::Closed),
        }
    }

    /// Stops reading the command's output, so that it blocks once its
    /// terminal is full; typed input, signals and resizes still work, and the
    /// end waits for `resume`. Needs the executor's "pause" extension. (The
    /// reader pauses and resumes the run by itself when it falls 4 MiB behind.)
    pub fn pause(&self) -> Result<()> {
        if !self.control.executor.has_extension("pause") {
            return Err(Error::Unsupported("pause"));
        }
        self.control.send(Request::new("run.pause"))
    }

    /// Reads the command's output again after `pause`.
    pub fn resume(&self) -> Result<()> {
        if !self.control.executor.has_extension("pause") {
            return Err(Error::Unsupported("pause"));
        }
        self.control.send(Request::new("run.resume"))
    }

    /// Waits for the command's end (its output is all read by then).
    pub fn wait(&self) -> Result<ExitStatus> {
        self.control.shared.wait()
    }

    pub fn try_wait(&self) -> Result<Option<ExitStatus>> {
        self.control.shared.try_wait()
    }

    /// What the executor said to "hello", and so which extensions apply.
    pub fn has_extension(&self, name: &str) -> bool {
        self.control.executor.has_extension(name)
    }
}

/// The terminal's output as a byte stream: `read` blocks until output comes
/// and gives 0 once the command has ended and everything was read.
pub struct TerminalReader {
    output: Receiver<Output>,
    piece: Vec<u8>,
    offset: usize,
    shared: Arc<RunShared>,
    /// Weak, so that a reader kept alone does not keep the command running.
    control: Weak<Control>,
    throttle: Throttle,
}

impl TerminalReader {
    /// Bytes of output the executor has sent that were not read yet.
    pub fn queued_bytes(&self) -> usize {
        self.shared.queued()
    }

    /// The next piece of output as the executor sent it (whole characters),
    /// or `Timeout` if none comes within `timeout`, or `Disconnected` at the
    /// end. What is left over from a partial `read` comes first. (With raw
    /// output the pieces are the terminal's reads, decoded lossily: use
    /// `recv_bytes_timeout` or `read` for the exact bytes.)
    pub fn recv_timeout(
        &mut self,
        timeout: Duration,
    ) -> std::result::Result<String, RecvTimeoutError> {
        let bytes = self.recv_bytes_timeout(timeout)?;
        Ok(String::from_utf8(bytes)
            .unwrap_or_else(|err| String::from_utf8_lossy(err.as_bytes()).into_owned()))
    }

    /// The next piece of output as bytes, like `recv_timeout`.
    pub fn recv_bytes_timeout(
        &mut self,
        timeout: Duration,
    ) -> std::result::Result<Vec<u8>, RecvTimeoutError> {
        if self.offset < self.piece.len() {
            let rest = self.piece.split_off(self.offset);
            self.piece.clear();
            self.offset = 0;
            return Ok(rest);
        }
        loop {
            let piece = self.output.recv_timeout(timeout)?;
            if let Some(bytes) = self.take(piece) {
                return Ok(bytes);
            }
        }
    }

    /// Accounts for a piece taken from the queue, pausing or resuming the
    /// run as the queue grows or shrinks; the bytes of a terminal output piece.
    fn take(&mut self, piece: Output) -> Option<Vec<u8>> {
        let left = self.shared.take_queued(piece.len());
        if let Some(control) = self.control.upgrade() {
            if control.executor.has_extension("pause") {
                if let Some(kind) = self.throttle.step(left) {
                    let _ = control.send(Request::new(kind));
                }
            }
        }
        match piece {
            Output::Stdout(text) => Some(text.into_bytes()),
            Output::Bytes(bytes) => Some(bytes),
            Output::Stderr(_) => None,
        }
    }
}

impl Read for TerminalReader {
    fn read(&mut self, buf: &mut [u8]) -> io::Result<usize> {
        while self.offset >= self.piece.len() {
            match self.output.recv() {
                Ok(piece) => {
                    if let Some(bytes) = self.take(piece) {
                        self.piece = bytes;
                        self.offset = 0;
                    }
                }
                Err(_) => return Ok(0),
            }
        }
        let n = buf.len().min(self.piece.len() - self.offset);
        buf[..n].copy_from_slice(&self.piece[self.offset..self.offset + n]);
        self.offset += n;
        Ok(n)
    }
}

impl Drop for TerminalReader {
    fn drop(&mut self) {
        if let (Some(kind), Some(control)) = (self.throttle.release(), self.control.upgrade()) {
            let _ = control.send(Request::new(kind));
        }
    }
}

/// Types into the terminal. A character split across two writes is held
/// back until it is whole; bytes that are not UTF-8 need the executor's
/// "raw_output" extension.
pub struct TerminalWriter {
    control: Arc<Control>,
    partial: Vec<u8>,
}

impl Write for TerminalWriter {
    fn write(&mut self, buf: &[u8]) -> io::Result<usize> {
        let joined;
        let bytes: &[u8] = if self.partial.is_empty() {
            buf
        } else {
            self.partial.extend_from_slice(buf);
            joined = std::mem::take(&mut self.partial);
            &joined
        };
        let (text, rest) = match std::str::from_utf8(bytes) {
            Ok(text) => (text, &[][..]),
            // An incomplete character at the end waits for the next write.
            Err(err) if err.error_len().is_none() => {
                let (head, tail) = bytes.split_at(err.valid_up_to());
                (std::str::from_utf8(head).unwrap_or_default(), tail)
            }
            // Not UTF-8: typed as exact bytes where the executor can.
            Err(_) => {
                self.control.type_bytes(bytes).map_err(to_io_error)?;
                return Ok(buf.len());
            }
        };
        if !text.is_empty() {
            self.control.type_text(text).map_err(to_io_error)?;
        }
        self.partial = rest.to_vec();
        Ok(buf.len())
    }

    fn flush(&mut self) -> io::Result<()> {
        Ok(())
    }
}

fn to_io_error(err: Error) -> io::Error {
    match err {
        Error::Io(err) => err,
        Error::Closed | Error::Ended => io::Error::new(io::ErrorKind::BrokenPipe, err.to_string()),
        other => io::Error::new(io::ErrorKind::Other, other.to_string()),
    }
}
