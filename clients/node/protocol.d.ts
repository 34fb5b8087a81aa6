// The lines that cross the executor's pipes. A stand-in, to be replaced by the declarations generated from the protocol's schema.

export interface RunAstRequest { type: 'run.ast'; run_id?: string | null; ast?: unknown; cwd?: string | null; env?: { [name: string]: string } | null; rows?: number | null; cols?: number | null; timeout_ms?: number | null; }
export interface ReadFileRequest { type: 'read_file'; path?: string | null; }
export interface GlobRequest { type: 'glob'; patterns?: string[] | null; cwd?: string | null; }
export interface ProcessSubstRequest { type: 'process_subst'; }
export interface StdinWriteRequest { type: 'stdin.write'; run_id?: string | null; data?: string | null; }
export interface RunSignalRequest { type: 'run.signal'; run_id?: string | null; signal?: string | null; }
export interface StreamFlushRequest { type: 'stream.flush'; run_id?: string | null; timeout_ms?: number | null; }
export interface RunResizeRequest { type: 'run.resize'; run_id?: string | null; rows?: number | null; cols?: number | null; }
export interface ContentReply { exit_code: 0; content: string; }
export interface GlobReply { exit_code: 0; glob_matches: string[]; }
export interface TempPathReply { exit_code: 0; temp_path: string; }
export interface ErrorReply { exit_code: 1; error: string; }
export interface RecvEvent { msg_type: string; run_id: string; type: 'recv'; }
export interface StartedEvent { backend_pid: number; child_pid: number; command: string; run_id: string; type: 'started'; }
export interface StdoutEvent { data: string; run_id: string; stdout: string; type: 'stdout'; }
export interface StderrEvent { data: string; run_id: string; stderr: string; type: 'stderr'; }
export interface ExitEvent { exit_code: number; run_id: string; type: 'exit'; }
export type Request = RunAstRequest | ReadFileRequest | GlobRequest | ProcessSubstRequest | StdinWriteRequest | RunSignalRequest | StreamFlushRequest | RunResizeRequest;
export type Reply = ContentReply | GlobReply | TempPathReply | ErrorReply;
export type Event = RecvEvent | StartedEvent | StdoutEvent | StderrEvent | ExitEvent;
export type ProtocolMessage = Request | Reply | Event;
