//! Builders for the trees a front end sends most: a command with arguments
//! and redirections, and a pipeline of such commands.

use crate::tree::{AstNode, Redirect, RedirectKind};

/// A command word, its arguments and its redirections, in the manner of
/// `std::process::Command`: `Command::new("grep").arg("-n").arg("x").stderr_to("/dev/null")`.
#[derive(Debug, Clone, PartialEq, Eq)]
pub struct Command {
    name: String,
    args: Vec<String>,
    single_quoted_args: Vec<bool>,
    redirects: Vec<Redirect>,
}

impl Command {
    pub fn new(name: impl Into<String>) -> Command {
        Command {
            name: name.into(),
            args: Vec::new(),
            single_quoted_args: Vec::new(),
            redirects: Vec::new(),
        }
    }

    /// One argument, passed to the program as it is.
    pub fn arg(mut self, arg: impl Into<String>) -> Command {
        self.args.push(arg.into());
        self.single_quoted_args.push(false);
        self
    }

    pub fn args<I, S>(mut self, args: I) -> Command
    where
        I: IntoIterator<Item = S>,
        S: Into<String>,
    {
        for arg in args {
            self = self.arg(arg);
        }
        self
    }

    /// One argument marked as written in single quotes (the executor passes
    /// it on unchanged like any other; the mark is for the tree's readers).
    pub fn quoted_arg(mut self, arg: impl Into<String>) -> Command {
        self.args.push(arg.into());
        self.single_quoted_args.push(true);
        self
    }

    pub fn redirect(mut self, redirect: Redirect) -> Command {
        self.redirects.push(redirect);
        self
    }

    /// `< path`
    pub fn stdin_from(self, path: impl Into<String>) -> Command {
        self.redirect(Redirect::new(None, RedirectKind::Input, path))
    }

    /// `> path`
    pub fn stdout_to(self, path: impl Into<String>) -> Command {
        self.redirect(Redirect::new(None, RedirectKind::Output, path))
    }

    /// `2> path`
    pub fn stderr_to(self, path: impl Into<String>) -> Command {
        self.redirect(Redirect::new(Some(2), RedirectKind::Output, path))
    }

    /// `>> path`
    pub fn append_to(self, path: impl Into<String>) -> Command {
        self.redirect(Redirect::new(None, RedirectKind::Append, path))
    }

    /// A here-document: standard input reads exactly `text`.
    pub fn here_doc(self, text: impl Into<String>) -> Command {
        self.redirect(Redirect::new(None, RedirectKind::HereDoc, text))
    }

    /// A here-string: standard input reads `text` and a line feed.
    pub fn here_string(self, text: impl Into<String>) -> Command {
        self.redirect(Redirect::new(None, RedirectKind::HereString, text))
    }

    pub fn name(&self) -> &str {
        &self.name
    }

    /// The `Command` node.
    pub fn into_node(self) -> AstNode {
        AstNode::Command {
            name: self.name,
            args: self.args,
            single_quoted_args: self.single_quoted_args,
            redirects: self.redirects,
        }
    }
}

impl From<Command> for AstNode {
    fn from(command: Command) -> AstNode {
        command.into_node()
    }
}

/// Commands joined by pipes: `Pipeline::new().then(a).then(b)` or
/// `Pipeline::of([a, b])`.
#[derive(Debug, Clone, Default, PartialEq, Eq)]
pub struct Pipeline {
    commands: Vec<Command>,
}

impl Pipeline {
    pub fn new() -> Pipeline {
        Pipeline::default()
    }

    pub fn of<I: IntoIterator<Item = Command>>(commands: I) -> Pipeline {
        Pipeline { commands: commands.into_iter().collect() }
    }

    /// Appends a member; its output feeds nothing until another follows.
    pub fn then(mut self, command: Command) -> Pipeline {
        self.commands.push(command);
        self
    }

    pub fn len(&self) -> usize {
        self.commands.len()
    }

    pub fn is_empty(&self) -> bool {
        self.commands.is_empty()
    }

    /// The `Pipeline` node.
    pub fn into_node(self) -> AstNode {
        AstNode::Pipeline { commands: self.commands.into_iter().map(Command::into_node).collect() }
    }
}

impl From<Pipeline> for AstNode {
    fn from(pipeline: Pipeline) -> AstNode {
        pipeline.into_node()
    }
}

impl Redirect {
    pub fn new(fd: Option<i32>, kind: RedirectKind, file: impl Into<String>) -> Redirect {
        Redirect { fd, kind, file: file.into() }
    }
}
