//! How a run ended, as its "exit" event tells it.

use crate::wire::Incoming;

/// The end of a run: its exit code by the executor's rule (the status, or
/// 128 + n after signal n on a terminal), and, where the executor reports it,
/// the signal that ended it.
#[derive(Debug, Clone, PartialEq, Eq)]
pub struct ExitStatus {
    code: i32,
    signal: Option<String>,
    core_dumped: bool,
}

impl ExitStatus {
    pub(crate) fn from_event(event: &Incoming) -> ExitStatus {
        ExitStatus {
            code: event.exit_code.unwrap_or(0) as i32,
            signal: event.signal.clone(),
            core_dumped: event.core_dumped.unwrap_or(false),
        }
    }

    /// The "exit_code" of the "exit" event.
    pub fn exit_code(&self) -> i32 {
        self.code
    }

    /// The signal that ended the run ("INT", "HUP", ...), when the executor
    /// reports it (it has the "exit_signal" extension). Without it, a code
    /// above 128 on a terminal cannot tell `exit 130` from a real SIGINT.
    pub fn signal(&self) -> Option<&str> {
        self.signal.as_deref()
    }

    pub fn core_dumped(&self) -> bool {
        self.core_dumped
    }

    pub fn success(&self) -> bool {
        self.code == 0 && self.signal.is_none()
    }
}
