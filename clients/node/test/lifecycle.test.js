'use strict';
// The pool's processes: reuse, closing, and nothing left behind however Node ends.

const test = require('node:test');
const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const path = require('node:path');
const { createClient } = require('..');
const { Executor } = require('../lib/executor');
const { executorPath, extensions, eventually, withTimeout, collect, alive, executorChildren, allGone, processesRunning } = require('./support');

// An executor whose terminal a run has used is replaced by a fresh one; others serve again.
const replaced = extensions.has('terminal_fd');

test('closing the client ends every terminal and executor', async () => {
  const client = createClient({ executorPath });
  const terms = [client.spawn('cat', []), client.spawn('sh', ['-c', 'sleep 1000 & wait']), client.spawn('true', [])];
  await withTimeout(Promise.all([terms[0].ready, terms[1].ready, terms[2].exited]), 'three starts');
  await client.readFile('/etc/hostname');
  // Two terminals, one idle, one for services (the finished terminal's executor may still be ending).
  await eventually(() => executorChildren().length === 4, 'four executors');
  const pids = [...executorChildren(), terms[0].pid, terms[1].pid];
  const exits = terms.slice(0, 2).map((term) => new Promise((resolve) => term.onExit(resolve)));
  await withTimeout(client.close(), 'close');
  // Both end by SIGHUP: sent by the executor, or by the hang-up of one that cannot send it.
  assert.deepEqual(await Promise.all(exits), [{ exitCode: 0, signal: 1 }, { exitCode: 0, signal: 1 }]);
  await allGone(pids);
  assert.deepEqual(executorChildren(), []);
  assert.throws(() => client.spawn('cat', []), /closed/);
  await assert.rejects(client.readFile('/etc/hostname'), /closed/);
});

// A pipeline's members have sessions of their own: only the executor can end them.
for (const ending of ['close', 'exit']) {
  test(`a running pipeline's members end when the library ${ending === 'close' ? 'is closed' : 'exits'}`, async () => {
    const seconds = `1000.${process.pid}${ending.length}`;
    const script = `const c = require(${JSON.stringify(path.resolve(__dirname, '..'))}).createClient({ executorPath: ${JSON.stringify(executorPath)} });
      c.runPipeline([['sleep', ${JSON.stringify(seconds)}], ['cat']]).catch(() => {});
      const started = () => require(${JSON.stringify(path.join(__dirname, 'support'))}).processesRunning(['sleep', ${JSON.stringify(seconds)}]).length > 0;
      const wait = setInterval(() => { if (!started()) return; clearInterval(wait); ${ending === 'close' ? 'c.close().then(() => console.log("closed"))' : 'process.exit(0)'}; }, 50);`;
    childProcess.execFileSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 30000 });
    // The members end within the executor's grace, long before the Node-side SIGKILL fallback.
    await allGone(processesRunning(['sleep', seconds]));
  });
}

test('closing one terminal ends its command only; the executor kept idle serves the next', async () => {
  const client = createClient({ executorPath });
  const [a, b] = [client.spawn('cat', []), client.spawn('cat', [])];
  await withTimeout(Promise.all([a.ready, b.ready]), 'starts');
  assert.deepEqual(await withTimeout(a.close(), 'close'), { exitCode: 0, signal: 1 });
  assert.deepEqual(await a.exited, { exitCode: 0, signal: 1 });
  await allGone([a.pid]);
  assert.ok(alive(b.pid) && alive(b.executorPid));
  a.write('x'); // ignored once ended
  const warm = client.pool.idle[0];
  assert.equal(warm.pid !== a.executorPid, replaced);
  if (replaced) await allGone([a.executorPid]);
  const c = client.spawn('cat', []);
  await withTimeout(c.ready, 'the next start');
  assert.equal(c.executorPid, warm.pid);
  for (const term of [b, c]) term.write('\u0004');
  assert.deepEqual(await withTimeout(Promise.all([b.exited, c.exited]), 'exits'), [0, 1].map(() => ({ exitCode: 0, signal: 0 })));
  await client.close();
});

test('the executor kept idle after a terminal serves the next one, stray control replies ignored', async () => {
  const client = createClient({ executorPath, maxIdleExecutors: 1 });
  const first = client.spawn('true', []);
  await withTimeout(first.exited, 'exit');
  const executor = client.pool.idle[0];
  assert.ok(executor instanceof Executor);
  // A keystroke that reaches the executor after its run ended is answered "Unknown: stdin.write".
  executor.send({ type: 'stdin.write', run_id: first.runId, data: 'late' });
  const second = client.spawn('cat', []);
  const out = collect(second);
  await withTimeout(second.ready, 'second start');
  assert.equal(second.executorPid, executor.pid);
  assert.equal(executor.pid !== first.executorPid, replaced);
  second.write('again\n');
  await out.until('again\r\nagain\r\n');
  second.write('\u0004');
  assert.deepEqual(await withTimeout(second.exited, 'exit'), { exitCode: 0, signal: 0 });
  await client.close();
});

test('idle executors do not keep Node alive', async () => {
  const script = `const c = require(${JSON.stringify(path.resolve(__dirname, '..'))}).createClient({ executorPath: ${JSON.stringify(executorPath)} });
    c.readFile('/etc/hostname').then(() => { const t = c.spawn('true', []); return t.exited; }).then((e) => console.log(JSON.stringify(e)));`;
  const out = childProcess.execFileSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 30000 });
  assert.equal(out, '{"exitCode":0,"signal":0}\n');
});

for (const ending of ['exit', 'throw', 'wait']) {
  test(`no process is left when Node ends by ${ending === 'wait' ? 'SIGKILL' : ending}`, async (t) => {
    const holder = childProcess.spawn(process.execPath, [path.join(__dirname, 'fixtures/holder.js'), ending], {
      stdio: ['ignore', 'pipe', 'ignore'],
      env: { ...process.env, ZELTA_STDIO_EXECUTOR: executorPath },
    });
    t.after(() => holder.kill('SIGKILL'));
    let text = '';
    holder.stdout.setEncoding('utf8');
    const line = new Promise((resolve) =>
      holder.stdout.on('data', (d) => {
        text += d;
        if (text.includes('\n')) resolve(JSON.parse(text));
      }),
    );
    const pids = await withTimeout(line, 'the process ids');
    assert.equal(pids.length, 6);
    if (ending === 'wait') assert.ok(pids.every(alive));
    if (ending === 'wait') holder.kill('SIGKILL');
    // With the Node process gone its pipes close: idle executors end at once, and on
    // exit or a crash the library ends the busy ones itself.
    await allGone(ending === 'wait' ? [pids[4], pids[5]] : pids);
    if (ending !== 'wait') return;
    const busy = [pids[0], pids[1], pids[2], pids[3]];
    t.after(() => busy.filter(alive).forEach((pid) => process.kill(pid, 'SIGKILL')));
    await t.test('a running terminal ends with its executor, which notices its front end has gone', () => allGone(busy));
  });
}
