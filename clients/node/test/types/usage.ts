// Compiled by types.test.js: what a front end writes must type-check, misuse must not.
import { createClient, spawn, runPipeline, glob, readFile, processSubstPath, close, ExecutorError } from '../..';
import type { ExitInfo, Terminal, Event, Reply, Request, RunResizeRequest, SyntaxTree } from '../..';

async function frontEnd(): Promise<number> {
  const term: Terminal = spawn('vim', ['notes.txt'], { cwd: '/tmp', env: { LANG: 'C.UTF-8', DROP: undefined }, rows: 30, cols: 100 });
  const sub = term.onData((data: string) => data.length);
  sub.dispose();
  term.onExit(({ exitCode, signal }: ExitInfo) => exitCode + (signal ?? 0));
  term.onError((err: Error) => err.message);
  term.write('i');
  term.write(new Uint8Array([0x1b]));
  term.resize(120, 40);
  term.kill('INT');
  term.kill();
  const pid: number | undefined = term.pid;
  await term.ready;
  const { stdout, stderr, exitCode } = await runPipeline([['ls', '-l'], ['wc', '-l']], { cwd: '/' });
  const text: string = await readFile('/etc/hostname');
  const paths: string[] = await glob(['*.txt'], { cwd: '/tmp' });
  const temp: string = await processSubstPath();
  const client = createClient({ executorPath: '/usr/bin/stdio_executor', maxIdleExecutors: 0 });
  await client.close();
  await close();
  // @ts-expect-error only INT, TERM and KILL can be sent
  term.kill('HUP');
  // @ts-expect-error resize takes numbers
  term.resize('80', 24);
  // @ts-expect-error a pipeline member needs a command
  await runPipeline([[]]);
  // @ts-expect-error the terminal's pid is not for writing
  term.pid = 3;
  const resize: RunResizeRequest = { type: 'run.resize', run_id: 'r1', rows: 30, cols: 100 };
  const lines: Array<Request | Reply | Event> = [resize, { exit_code: 0, glob_matches: [] }, { exit_code: 1, error: 'Missing path' },
    { exit_code: 0, run_id: 'r1', type: 'exit' }, { backend_pid: 1, child_pid: 2, command: 'ls', run_id: 'r1', type: 'started' }];
  // @ts-expect-error an error reply has exit code 1
  const wrong: Reply = { exit_code: 0, error: 'x' };
  const tree: SyntaxTree = { Pipeline: { commands: [{ Command: { name: 'ls', args: [], single_quoted_args: [], redirects: [] } }] } };
  const err = new ExecutorError('Missing path');
  return stdout.length + stderr.length + exitCode + text.length + paths.length + temp.length + (pid ?? 0) + lines.length + String(wrong).length + String(tree).length + err.message.length;
}
frontEnd();
