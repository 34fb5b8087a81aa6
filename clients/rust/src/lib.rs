//! A Rust front end's side of `stdio_executor`: the syntax tree it takes as
//! serde types, builders for commands and pipelines, and a blocking client
//! for terminals, pipelines, files, globs and process-substitution paths.
//!
//! ```no_run
//! use zelta_stdio_client::{Client, Command, Pipeline, PtySize, RunOptions};
//!
//! let client = Client::new()?;
//! let out = client.pipeline(
//!     Pipeline::of([Command::new("printf").arg("hi"), Command::new("tr").args(["a-z", "A-Z"])]),
//!     &RunOptions::new(),
//! )?;
//! assert_eq!(out.stdout, "HI");
//! let mut term = client.spawn("cat", &[], PtySize::new(24, 80), None, &[])?;
//! term.write("hello\r")?;
//! term.write("\u{4}")?;
//! assert_eq!(term.wait()?.exit_code(), 0);
//! # Ok::<(), zelta_stdio_client::Error>(())
//! ```

mod base64;
mod builders;
mod client;
mod error;
mod executor;
mod options;
mod run;
mod status;
mod sys;
mod terminal;
pub mod tree;
mod wire;

pub use builders::{Command, Pipeline};
pub use client::{default_program, Client};
pub use error::{Error, Result};
pub use executor::Hello;
pub use options::{PtySize, RunOptions};
pub use run::{Foreground, Output, PipelineRun, RunOutput};
pub use status::ExitStatus;
pub use terminal::{Terminal, TerminalReader, TerminalWriter};
pub use tree::{
    AstNode, CasePattern, ParameterExpansionType, ProcessSubstitutionDirection, Redirect,
    RedirectKind,
};
