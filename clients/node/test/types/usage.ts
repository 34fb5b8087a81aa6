// Compiled by types.test.js: what a front end writes must type-check, misuse must not.
import { createClient, spawn, spawnPipeline, runPipeline, glob, readFile, processSubstPath, close, ExecutorError } from '../..';
import type { ExitInfo, Terminal, IPty, IPtyForkOptions, Event, Reply, Request, RunResizeRequest, SyntaxTree } from '../..';

async function frontEnd(): Promise<number> {
  const options: IPtyForkOptions = { name: 'xterm-256color', cwd: '/tmp', env: { LANG: 'C.UTF-8', DROP: undefined }, rows: 30, cols: 100 };
  const term: IPty = spawn('vim', ['notes.txt'], options);
  const sub = term.onData((data: string) => data.length);
  sub.dispose();
  term.onExit(({ exitCode, signal }: ExitInfo) => exitCode + signal);
  term.onError((err: Error) => err.message);
  term.on('exit', (code: number, signal: number) => code + signal).on('data', (data: string) => data.length);
  term.write('i');
  term.write(new Uint8Array([0x1b]));
  term.resize(120, 40);
  term.kill('SIGUSR1');
  term.kill(15);
  term.kill();
  term.pause();
  term.resume();
  term.clear();
  const name: string = term.process;
  const front = await term.foreground();
  const pid: number | undefined = term.pid;
  const started: number = await term.ready;
  const bytes: Terminal<Buffer> = spawn('cat', [], { encoding: null, handleFlowControl: true });
  bytes.onData((data: Buffer) => data.readUInt8(0));
  const job = spawnPipeline([['yes'], ['head', '-n', '3']], { rows: 10 });
  job.destroy();
  const closed: ExitInfo | undefined = await term.close();
  const abort = new AbortController();
  const run = runPipeline([['ls', '-l'], ['wc', '-l']], { cwd: '/', onStdout: (text: string) => text.length, signal: abort.signal });
  run.kill('SIGINT');
  const { stdout, stderr, exitCode, signal } = await run;
  const text: string = await readFile('/etc/hostname');
  const paths: string[] = await glob(['*.txt'], { cwd: '/tmp' });
  const temp: string = await processSubstPath();
  const client = createClient({ executorPath: '/usr/bin/stdio_executor', maxIdleExecutors: 0 });
  await client.close();
  await close();
  // @ts-expect-error output is text unless encoding is null
  spawn('cat', []).onData((data: Buffer) => data);
  // @ts-expect-error resize takes numbers
  term.resize('80', 24);
  // @ts-expect-error a pipeline member needs a command
  await runPipeline([[]]);
  // @ts-expect-error the terminal's pid is not for writing
  term.pid = 3;
  // @ts-expect-error there is no such event
  term.on('close', () => 0);
  const resize: RunResizeRequest = { type: 'run.resize', run_id: 'r1', rows: 30, cols: 100 };
  const lines: Array<Request | Reply | Event> = [resize, { exit_code: 0, glob_matches: [] }, { exit_code: 1, error: 'Missing path' },
    { exit_code: 0, run_id: 'r1', type: 'exit' }, { backend_pid: 1, child_pid: 2, command: 'ls', run_id: 'r1', type: 'started' }];
  // @ts-expect-error an error reply has exit code 1
  const wrong: Reply = { exit_code: 0, error: 'x' };
  const tree: SyntaxTree = { Pipeline: { commands: [{ Command: { name: 'ls', args: [], single_quoted_args: [], redirects: [] } }] } };
  const err = new ExecutorError('Missing path');
  return stdout.length + stderr.length + exitCode + (signal ?? 0) + text.length + paths.length + temp.length + (pid ?? 0) + started +
    lines.length + String(wrong).length + String(tree).length + err.message.length + name.length + (front?.pid ?? 0) + (closed?.exitCode ?? 0);
}
frontEnd();
