//! The client's error type: the executor's own refusals, and what can go wrong
//! around it (starting it, talking to it, features it lacks).

use std::fmt;
use std::io;

/// Every failure of the client, as a value.
#[derive(Debug)]
pub enum Error {
    /// An error reply of the executor, with its text exactly as sent
    /// ("Read error: No such file or directory (os error 2)", "Invalid ast: ...").
    Executor(String),
    /// The executor program could not be started.
    Start { program: String, source: io::Error },
    /// Writing to or reading from the executor failed.
    Io(io::Error),
    /// The executor ended (or was closed) before it answered.
    Closed,
    /// The run has ended: control requests have nothing left to act on.
    Ended,
    /// The executor does not offer an extension this call needs (the name as
    /// its "hello" lists it: "stream", "signals", ...).
    Unsupported(&'static str),
    /// A line from the executor that does not fit the protocol.
    Protocol(String),
}

/// The result of every fallible call of this crate.
pub type Result<T> = std::result::Result<T, Error>;

impl Error {
    /// The executor's own error text, for an error reply.
    pub fn executor_text(&self) -> Option<&str> {
        match self {
            Error::Executor(text) => Some(text),
            _ => None,
        }
    }
}

impl fmt::Display for Error {
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        match self {
            Error::Executor(text) => f.write_str(text),
            Error::Start { program, source } => write!(f, "cannot start {}: {}", program, source),
            Error::Io(err) => write!(f, "executor i/o: {}", err),
            Error::Closed => f.write_str("the executor has ended"),
            Error::Ended => f.write_str("the run has ended"),
            Error::Unsupported(name) => {
                write!(f, "the executor does not offer the \"{}\" extension", name)
            }
            Error::Protocol(line) => write!(f, "unexpected line from the executor: {}", line),
        }
    }
}

impl std::error::Error for Error {
    fn source(&self) -> Option<&(dyn std::error::Error + 'static)> {
        match self {
            Error::Start { source, .. } => Some(source),
            Error::Io(err) => Some(err),
            _ => None,
        }
    }
}

impl From<io::Error> for Error {
    fn from(err: io::Error) -> Error {
        Error::Io(err)
    }
}
