// Type declarations of zelta-stdio-executor: the library's API, and the protocol lines it exchanges.

export * from './protocol';
import type { ExitEvent } from './protocol';

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

export interface SpawnOptions extends RunOptions {
  /** Terminal size, 0 to 65535; default 24 rows, 80 columns. */
  rows?: number;
  cols?: number;
}

export interface GlobOptions {
  /** Base of relative patterns; default the Node process's current directory. */
  cwd?: string;
}

/** How a terminal's command ended. `signal` is n when the exit code is 128 + n (1 to 64). */
export interface ExitInfo {
  exitCode: ExitEvent['exit_code'];
  signal?: number;
}

export interface PipelineResult {
  /** The last member's standard output. */
  stdout: string;
  /** Every member's standard error, in member order. */
  stderr: string;
  /** The last member's exit status; 1 when a signal ended it. */
  exitCode: number;
}

export interface Disposable {
  dispose(): void;
}

/** The names `kill` accepts. */
export type SignalName = 'INT' | 'TERM' | 'KILL' | 'SIGINT' | 'SIGTERM' | 'SIGKILL';

/** A command on a terminal of its own. Control calls made before it has started are sent once it has. */
export interface Terminal {
  /** The command's process id, once started. */
  readonly pid: number | undefined;
  /** The process id of the executor serving this terminal, once started. */
  readonly executorPid: number | undefined;
  /** The command's name as given to spawn. */
  readonly process: string;
  readonly rows: number;
  readonly cols: number;
  /** Resolves once the command has started; rejects with the executor's error. */
  readonly ready: Promise<void>;
  /** Resolves when the command has ended; rejects with the executor's error. */
  readonly exited: Promise<ExitInfo>;
  /** Terminal output, as text (escape sequences included). */
  onData(listener: (data: string) => void): Disposable;
  onExit(listener: (exit: ExitInfo) => void): Disposable;
  /** The run was refused or its executor ended; `onExit` is not called then. */
  onError(listener: (error: Error) => void): Disposable;
  /** Types into the terminal: "\r" is Enter, "\x03" Ctrl-C. Throws once the terminal has ended. */
  write(data: string | Uint8Array): void;
  /** Sets the terminal size; the command gets SIGWINCH. Throws once the terminal has ended. */
  resize(cols: number, rows: number): void;
  /** Signals the command's process (default "TERM"). Throws once the terminal has ended. */
  kill(signal?: SignalName): void;
  /** Ends the terminal and its executor; a running command gets SIGHUP (exit 129). */
  close(): Promise<void>;
}

/** An error reply of the executor, or its end; `message` is the executor's text. */
export class ExecutorError extends Error {}

/** Terminals and services over a pool of executors: one per live terminal, one for the rest. */
export class Client {
  constructor(options?: ClientOptions);
  spawn(command: string, args?: string[], options?: SpawnOptions): Terminal;
  /** Runs [[command, ...args], ...] joined by pipes, without a terminal. */
  runPipeline(commands: [string, ...string[]][], options?: RunOptions): Promise<PipelineResult>;
  /** The text of a UTF-8 file. */
  readFile(path: string): Promise<string>;
  /** Matching paths, pattern by pattern. */
  glob(patterns: string | string[], options?: GlobOptions): Promise<string[]>;
  /** A path name for process substitution. */
  processSubstPath(): Promise<string>;
  /** Closes every terminal and ends every executor; resolves once they have exited. */
  close(): Promise<void>;
}

export function createClient(options?: ClientOptions): Client;

// The same, on a client shared by the module and started on first use.
export function spawn(command: string, args?: string[], options?: SpawnOptions): Terminal;
export function runPipeline(commands: [string, ...string[]][], options?: RunOptions): Promise<PipelineResult>;
export function readFile(path: string): Promise<string>;
export function glob(patterns: string | string[], options?: GlobOptions): Promise<string[]>;
export function processSubstPath(): Promise<string>;
/** Ends the shared client's terminals and executors; the next call starts a new one. */
export function close(): Promise<void>;
