/// <reference types="node" />
// Type declarations of zelta-stdio-executor: the library's API, and the protocol lines it exchanges.

export * from './protocol';

export interface ClientOptions {
  /** The executor to start; default $ZELTA_STDIO_EXECUTOR, then `stdio_executor` on PATH. */
  executorPath?: string;
  /** Executors of finished terminals kept for the next terminal (default 1). */
  maxIdleExecutors?: number;
}

export interface RunOptions {
  /** Working directory; relative to the Node process's; default its current directory. */
  cwd?: string;
  /** Variables set on top of the environment the executor was started with (undefined values are left out). */
  env?: { [name: string]: string | undefined };
}

/** node-pty's IPtyForkOptions, less uid and gid: commands run as the executor's user. */
export interface SpawnOptions {
  /** TERM of the command; default env's TERM, else "xterm". Needs the executor's "env" extension. */
  name?: string;
  /** Terminal size, 1 to 65535; default 80 columns, 24 rows. */
  cols?: number;
  rows?: number;
  /** Working directory; relative to the Node process's; default its current directory. */
  cwd?: string;
  /**
   * The command's whole environment (undefined values are left out); default the Node
   * process's own, less the variables of the terminal Node runs in. PWD is set to `cwd`.
   * With an executor lacking the "env" extension it is laid over the executor's instead.
   */
  env?: { [name: string]: string | undefined };
  /** How output is decoded: any Node encoding (default 'utf8'); null gives Buffers of the exact bytes. */
  encoding?: BufferEncoding | null;
  /** Makes write() of the two characters below pause and resume output instead of typing them. */
  handleFlowControl?: boolean;
  /** Default XOFF, "\x13". */
  flowControlPause?: string;
  /** Default XON, "\x11". */
  flowControlResume?: string;
}

export interface GlobOptions {
  /** Base of relative patterns; default the Node process's current directory. */
  cwd?: string;
}

/**
 * How a terminal's command ended, as node-pty reports it: a command ended by signal n
 * has `signal` n and `exitCode` 0; one that exited has its status and `signal` 0.
 * (An executor without the "exit_signal" extension cannot tell: `signal` is then 0.)
 */
export interface ExitInfo {
  exitCode: number;
  signal: number;
}

export interface PipelineResult {
  /** The last member's standard output. */
  stdout: string;
  /** Every member's standard error, as it came. */
  stderr: string;
  /** The last member's exit status; 1 when a signal ended it. */
  exitCode: number;
  /** The signal that ended the last member, where the executor reports it. */
  signal?: number;
}

export interface PipelineOptions extends RunOptions {
  /** Called with each piece of the last member's standard output as it arrives. */
  onStdout?: (text: string) => void;
  /** Called with each piece of any member's standard error as it arrives. */
  onStderr?: (text: string) => void;
  /** Stops the pipeline when aborted: every member's process group gets `killSignal`, and the promise rejects with an AbortError whose `result` is what was collected. */
  signal?: AbortSignal;
  /** Default 'SIGTERM'. */
  killSignal?: Signal;
}

/** A running pipeline's result, with a way to stop it. */
export interface PipelineRun extends Promise<PipelineResult> {
  /** Sends a signal (default the `killSignal` option) to every member's process group. */
  kill(signal?: Signal): void;
}

export interface Disposable {
  dispose(): void;
}

/** node-pty's event shape: a function that adds a listener. */
export interface IEvent<T> {
  (listener: (e: T) => any): Disposable;
}

/** A signal: a name with or without "SIG" ("SIGUSR1", "HUP") or a number. */
export type Signal = NodeJS.Signals | string | number;

/** The foreground process group's leader of a terminal. */
export interface ForegroundProcess {
  pid: number;
  name?: string;
  cwd?: string;
}

/**
 * A command on a terminal of its own: node-pty's IPty. Calls made before it has
 * started are carried out once it has; write, resize and kill after its end are ignored.
 */
export interface Terminal<Data extends string | Buffer = string> {
  /**
   * The command's process id, known once it has started (`undefined` before, unlike
   * node-pty, where it is there at once): await `ready` for it.
   */
  readonly pid: number | undefined;
  /** Resolves with the process id once the command has started; rejects with the executor's error. */
  readonly ready: Promise<number>;
  /** The process id of the executor serving this terminal, once started. */
  readonly executorPid: number | undefined;
  readonly cols: number;
  readonly rows: number;
  /**
   * The program in the terminal's foreground (its name as the system gives it), as last
   * reported: reading it asks the executor again (at most every 100 ms), and once read,
   * output does too, a moment after it comes; so it can lag a moment behind. Await `foreground()` for the current one. Needs the
   * "foreground" extension; without it, the file given to spawn.
   */
  readonly process: string;
  /** Makes write() of the flow control characters pause and resume output. */
  handleFlowControl: boolean;
  /** Resolves when the command has ended; rejects with the executor's error. */
  readonly exited: Promise<ExitInfo>;
  readonly onData: IEvent<Data>;
  readonly onExit: IEvent<ExitInfo>;
  /** The run was refused or its executor ended; `onExit` is not called then. */
  readonly onError: IEvent<Error>;
  /** The older event form. */
  on(event: 'data', listener: (data: Data) => void): this;
  on(event: 'exit', listener: (exitCode: number, signal: number) => void): this;
  on(event: 'error', listener: (error: Error) => void): this;
  once(event: 'data', listener: (data: Data) => void): this;
  once(event: 'exit', listener: (exitCode: number, signal: number) => void): this;
  once(event: 'error', listener: (error: Error) => void): this;
  addListener(event: 'data' | 'exit' | 'error', listener: (...args: any[]) => void): this;
  removeListener(event: 'data' | 'exit' | 'error', listener: (...args: any[]) => void): this;
  off(event: 'data' | 'exit' | 'error', listener: (...args: any[]) => void): this;
  /** Types into the terminal: strings as UTF-8, bytes exactly ("\r" is Enter, "\x03" Ctrl-C). */
  write(data: string | Uint8Array): void;
  /** Sets the terminal size (1 to 65535); the command gets SIGWINCH. */
  resize(cols: number, rows: number): void;
  /** Sends a signal to the command (default SIGHUP); an unknown name throws a TypeError. */
  kill(signal?: Signal): void;
  /** Stops reading output: the command blocks once the terminal's buffer is full. */
  pause(): void;
  resume(): void;
  /** Does nothing, as with node-pty on Unix. */
  clear(): void;
  /** The foreground process group's leader, asked now; null where it cannot be told. */
  foreground(): Promise<ForegroundProcess | null>;
  /**
   * Ends the command: SIGHUP, then SIGKILL after a grace period. Resolves with how it
   * really ended (also reported to onExit), or undefined when it never started.
   */
  close(): Promise<ExitInfo | undefined>;
  /** close() without the promise, node-pty's name. */
  destroy(): void;
}

/** A Terminal whose options ask for Buffers. */
export type SpawnResult<O> = O extends { encoding: null } ? Terminal<Buffer> : Terminal<string>;

/** An error reply of the executor, or its end; `message` is the executor's text. */
export class ExecutorError extends Error {}

/** Terminals and services over a pool of executors: one per live terminal, one for the rest. */
export class Client {
  constructor(options?: ClientOptions);
  /** Starts `file` (default "sh") with `args` on a terminal of its own. */
  spawn<O extends SpawnOptions = SpawnOptions>(file?: string, args?: string[], options?: O): SpawnResult<O>;
  /**
   * Runs [[command, ...args], ...] joined by pipes on one terminal, the way a shell runs a
   * foreground job: Ctrl-C reaches every member. Needs the executor's "terminal" extension
   * (without it the terminal reports an error).
   */
  spawnPipeline<O extends SpawnOptions = SpawnOptions>(commands: [string, ...string[]][], options?: O): SpawnResult<O>;
  /**
   * Runs [[command, ...args], ...] joined by pipes, without a terminal: side by side with
   * other pipelines and the file requests on the shared executor where it has "concurrent",
   * else on an executor of its own.
   */
  runPipeline(commands: [string, ...string[]][], options?: PipelineOptions): PipelineRun;
  /** The text of a UTF-8 file. */
  readFile(path: string): Promise<string>;
  /** Matching paths, pattern by pattern. */
  glob(patterns: string | string[], options?: GlobOptions): Promise<string[]>;
  /** A path name for process substitution. */
  processSubstPath(): Promise<string>;
  /** Closes every terminal (as close() does) and ends every executor; resolves once they have exited. */
  close(): Promise<void>;
}

export function createClient(options?: ClientOptions): Client;

// The same, on a client shared by the module and started on first use.
export function spawn<O extends SpawnOptions = SpawnOptions>(file?: string, args?: string[], options?: O): SpawnResult<O>;
/** node-pty's older names of spawn. */
export function fork<O extends SpawnOptions = SpawnOptions>(file?: string, args?: string[], options?: O): SpawnResult<O>;
export function createTerminal<O extends SpawnOptions = SpawnOptions>(file?: string, args?: string[], options?: O): SpawnResult<O>;
export function spawnPipeline<O extends SpawnOptions = SpawnOptions>(commands: [string, ...string[]][], options?: O): SpawnResult<O>;
export function runPipeline(commands: [string, ...string[]][], options?: PipelineOptions): PipelineRun;
export function readFile(path: string): Promise<string>;
export function glob(patterns: string | string[], options?: GlobOptions): Promise<string[]>;
export function processSubstPath(): Promise<string>;
/** Ends the shared client's terminals and executors; the next call starts a new one. */
export function close(): Promise<void>;

/** node-pty's interface names, for front ends that use them. */
export type IPty = Terminal<string>;
export type IPtyForkOptions = SpawnOptions;
export type IExitEvent = ExitInfo;
