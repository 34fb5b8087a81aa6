//! Where and how a run starts: working directory, environment, terminal size.

use std::collections::BTreeMap;

use crate::wire::Request;

/// The size of a terminal, in character cells.
#[derive(Debug, Clone, Copy, PartialEq, Eq)]
pub struct PtySize {
    pub rows: u16,
    pub cols: u16,
}

impl PtySize {
    pub fn new(rows: u16, cols: u16) -> PtySize {
        PtySize { rows, cols }
    }
}

impl Default for PtySize {
    /// The executor's own default, 24 × 80.
    fn default() -> PtySize {
        PtySize { rows: 24, cols: 80 }
    }
}

/// The settings of one run. Left unset, the executor's defaults apply: the
/// working directory "/tmp", its own environment, a 24 × 80 terminal.
#[derive(Debug, Clone, Default, PartialEq, Eq)]
pub struct RunOptions {
    pub cwd: Option<String>,
    /// Variables set on top of the executor's environment.
    pub env: BTreeMap<String, String>,
    /// The terminal size of a single command (pipelines have no terminal).
    pub size: Option<PtySize>,
    /// A terminal's output as its exact bytes (the executor's "raw_output"
    /// extension) instead of text with U+FFFD for bytes that are not UTF-8.
    pub raw_output: bool,
}

impl RunOptions {
    pub fn new() -> RunOptions {
        RunOptions::default()
    }

    pub fn cwd(mut self, cwd: impl Into<String>) -> RunOptions {
        self.cwd = Some(cwd.into());
        self
    }

    pub fn env(mut self, name: impl Into<String>, value: impl Into<String>) -> RunOptions {
        self.env.insert(name.into(), value.into());
        self
    }

    pub fn size(mut self, size: PtySize) -> RunOptions {
        self.size = Some(size);
        self
    }

    pub fn raw_output(mut self, raw: bool) -> RunOptions {
        self.raw_output = raw;
        self
    }

    /// Puts the settings into a "run.ast" request.
    pub(crate) fn apply<'a>(&'a self, request: &mut Request<'a>) {
        request.cwd = self.cwd.as_deref();
        if !self.env.is_empty() {
            request.env = Some(&self.env);
        }
        if self.raw_output {
            request.raw_output = Some(true);
        }
        if let Some(size) = self.size {
            request.rows = Some(size.rows);
            request.cols = Some(size.cols);
        }
    }
}
