//! The client: one executor for files, globs and collected runs. Where it
//! offers "concurrent", the same executor serves every terminal and live
//! pipeline too; otherwise each of those gets a new executor, since such an
//! executor serves one run at a time.

use std::ffi::OsString;
use std::path::PathBuf;
use std::sync::{Arc, Mutex};

use crate::builders::Pipeline;
use crate::error::{Error, Result};
use crate::executor::{Executor, Hello};
use crate::options::{PtySize, RunOptions};
use crate::run::{collect, PipelineRun, RunOutput};
use crate::terminal::Terminal;
use crate::tree::AstNode;
use crate::wire::Request;

/// The program started when none is given: `$ZELTA_STDIO_EXECUTOR`, else
/// `stdio_executor` looked up in `PATH`.
pub fn default_program() -> PathBuf {
    match std::env::var_os("ZELTA_STDIO_EXECUTOR") {
        Some(path) if !path.is_empty() => PathBuf::from(path),
        _ => PathBuf::from(OsString::from("stdio_executor")),
    }
}

/// The reply of a concurrent executor that already runs all the runs it may.
const TOO_MANY_RUNS: &str = "Too many runs";

/// A front end's connection to the executor. Blocking calls, safe to share
/// between threads; requests on an executor without "concurrent" take turns.
/// Dropping the client ends its executors and whatever they still run.
pub struct Client {
    program: PathBuf,
    /// Whether to ask executors for "concurrent".
    share: bool,
    services: Mutex<Option<Arc<Executor>>>,
}

impl Client {
    /// Starts the executor found by `default_program`.
    pub fn new() -> Result<Client> {
        Client::with_program(default_program())
    }

    /// Starts `program` as the executor.
    pub fn with_program(program: impl Into<PathBuf>) -> Result<Client> {
        Client::start(program.into(), true)
    }

    /// Starts `program` as the executor without asking for "concurrent":
    /// every terminal and live pipeline gets an executor of its own, as
    /// with an executor that does not offer it.
    pub fn with_program_unshared(program: impl Into<PathBuf>) -> Result<Client> {
        Client::start(program.into(), false)
    }

    fn start(program: PathBuf, share: bool) -> Result<Client> {
        let services = Executor::start(&program, share)?;
        Ok(Client { program, share, services: Mutex::new(Some(Arc::new(services))) })
    }

    /// The executor that serves files, globs and collected runs; a new one
    /// if the last has ended.
    fn services(&self) -> Result<Arc<Executor>> {
        let mut services = self.services.lock().unwrap_or_else(|p| p.into_inner());
        if let Some(executor) = services.as_ref() {
            if !executor.is_closed() {
                return Ok(Arc::clone(executor));
            }
        }
        let executor = Arc::new(Executor::start(&self.program, self.share)?);
        *services = Some(Arc::clone(&executor));
        Ok(executor)
    }

    /// The executor for a new terminal or live pipeline: the services
    /// executor where it serves runs at once (not owned by the run), else a
    /// new one that the run owns.
    fn run_executor(&self) -> Result<(Arc<Executor>, bool)> {
        let services = self.services()?;
        if services.is_concurrent() {
            Ok((services, false))
        } else {
            Ok((Arc::new(Executor::start(&self.program, self.share)?), true))
        }
    }

    /// Starts a run with `attempt` on the executor for runs; one that a
    /// shared executor refuses for having too many goes to a new executor.
    fn start_run<T>(&self, attempt: impl Fn(Arc<Executor>, bool) -> Result<T>) -> Result<T> {
        let (executor, owned) = self.run_executor()?;
        match attempt(executor, owned) {
            Err(Error::Executor(text)) if !owned && text == TOO_MANY_RUNS => {
                attempt(Arc::new(Executor::start(&self.program, self.share)?), true)
            }
            result => result,
        }
    }

    /// Whether terminals, live pipelines, collected runs and file requests
    /// are all served at once by the client's one executor (it offers
    /// "concurrent", and the client was not made unshared).
    pub fn shares_executor(&self) -> Result<bool> {
        Ok(self.services()?.is_concurrent())
    }

    /// The executor's "hello": its version and extensions; none for an
    /// executor that answers "Unknown: hello".
    pub fn hello(&self) -> Result<Option<Hello>> {
        Ok(self.services()?.hello().cloned())
    }

    /// Whether the executor offers an extension ("stream", "signals", ...).
    pub fn has_extension(&self, name: &str) -> Result<bool> {
        Ok(self.services()?.has_extension(name))
    }

    /// Starts `command` with `args` on a terminal of `size`, in `cwd`
    /// (default "/tmp") with `env` set on top of the executor's environment.
    pub fn spawn(
        &self,
        command: &str,
        args: &[&str],
        size: PtySize,
        cwd: Option<&str>,
        env: &[(&str, &str)],
    ) -> Result<Terminal> {
        let mut options = RunOptions::new().size(size);
        options.cwd = cwd.map(str::to_owned);
        for (name, value) in env {
            options = options.env(*name, *value);
        }
        let command = crate::builders::Command::new(command).args(args.iter().copied());
        self.spawn_command(command, &options)
    }

    /// Starts a command built with its redirections on a terminal of its own.
    pub fn spawn_command(
        &self,
        command: crate::builders::Command,
        options: &RunOptions,
    ) -> Result<Terminal> {
        let ast = command.into_node();
        self.start_run(|executor, owned| {
            if options.raw_output && !executor.has_extension("raw_output") {
                return Err(Error::Unsupported("raw_output"));
            }
            let run_id = executor.new_run_id();
            let line = run_request(&run_id, &ast, options, false);
            Terminal::start(executor, owned, run_id, &line, options.size.unwrap_or_default())
        })
    }

    /// Runs any tree to its end and collects its output: a single command on a
    /// terminal nobody types into, a pipeline on pipes. A refused tree is the
    /// executor's error text ("Unsupported AST root for run.ast", "Invalid ast: ...").
    pub fn run(&self, ast: &AstNode, options: &RunOptions) -> Result<RunOutput> {
        let on_terminal = matches!(ast, AstNode::Command { .. });
        let attempt = |executor: Arc<Executor>, _owned| {
            let run_id = executor.new_run_id();
            let line = run_request(&run_id, ast, options, false);
            collect(&executor, run_id, on_terminal, &line)
        };
        let services = self.services()?;
        match attempt(services, false) {
            Err(Error::Executor(text)) if text == TOO_MANY_RUNS => {
                attempt(Arc::new(Executor::start(&self.program, self.share)?), true)
            }
            result => result,
        }
    }

    /// Runs a pipeline to its end: the last member's standard output, every
    /// member's standard error, and the last member's exit code.
    pub fn pipeline(&self, pipeline: Pipeline, options: &RunOptions) -> Result<RunOutput> {
        self.run(&pipeline.into_node(), options)
    }

    /// Starts a pipeline whose output arrives as it is written, where the
    /// executor offers "stream": on the client's executor where it offers
    /// "concurrent", else on an executor of its own.
    pub fn spawn_pipeline(&self, pipeline: Pipeline, options: &RunOptions) -> Result<PipelineRun> {
        if !self.has_extension("stream")? {
            return Err(Error::Unsupported("stream"));
        }
        let ast = pipeline.into_node();
        self.start_run(|executor, owned| {
            let run_id = executor.new_run_id();
            let line = run_request(&run_id, &ast, options, true);
            PipelineRun::start(executor, owned, run_id, &line)
        })
    }

    /// The whole text of a file; a relative path is taken from the
    /// executor's working directory (this process's, when it was started).
    pub fn read_file(&self, path: &str) -> Result<String> {
        let mut request = Request::new("read_file");
        request.path = Some(path);
        let reply = self.services()?.request(&request)?;
        reply.content.ok_or_else(|| Error::Protocol("read_file reply without content".into()))
    }

    /// The paths the patterns match, pattern by pattern; relative patterns
    /// are joined to `cwd` (default "/tmp").
    pub fn glob(&self, patterns: &[&str], cwd: Option<&str>) -> Result<Vec<String>> {
        let patterns: Vec<String> = patterns.iter().map(|p| (*p).to_owned()).collect();
        let mut request = Request::new("glob");
        request.patterns = Some(&patterns);
        request.cwd = cwd;
        let reply = self.services()?.request(&request)?;
        reply.glob_matches.ok_or_else(|| Error::Protocol("glob reply without glob_matches".into()))
    }

    /// Ends the services executor now, and with it a collected run in
    /// progress (which returns `Error::Closed`); a later call starts a new
    /// one. Where that executor is shared ("concurrent"), its terminals and
    /// live pipelines end too (their waits return `Error::Closed`); otherwise
    /// they have executors of their own, ended when their handles are dropped.
    pub fn close(&self) {
        let services = self.services.lock().unwrap_or_else(|p| p.into_inner()).take();
        if let Some(executor) = services {
            executor.shutdown();
        }
    }

    /// The path name the executor hands out for process substitution.
    pub fn process_subst(&self) -> Result<String> {
        let reply = self.services()?.request(&Request::new("process_subst"))?;
        reply
            .temp_path
            .ok_or_else(|| Error::Protocol("process_subst reply without temp_path".into()))
    }
}

/// The "run.ast" line of a run; `stream` asks for a pipeline's output live.
fn run_request(run_id: &str, ast: &AstNode, options: &RunOptions, stream: bool) -> Vec<u8> {
    let mut request = Request::new("run.ast");
    request.run_id = Some(run_id);
    request.ast = Some(ast);
    if stream {
        request.stream = Some(true);
    }
    options.apply(&mut request);
    request.to_line()
}

impl Drop for Client {
    fn drop(&mut self) {
        self.close();
    }
}
