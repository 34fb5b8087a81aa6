'use strict';
// Pipelines the way a shell runs them: on a terminal as a foreground job, or on
// pipes with live output, stopped by kill() or an AbortSignal.

const test = require('node:test');
const assert = require('node:assert/strict');
const { createClient } = require('..');
const { executorPath, withTimeout, collect, needs, allGone, processesRunning, eventually } = require('./support');

test('pipelines on a terminal', needs('terminal'), async (t) => {
  const client = createClient({ executorPath });
  t.after(() => client.close());

  await t.test("the members' output on the terminal, the last member's exit", async () => {
    const job = client.spawnPipeline([['printf', 'pear\\napple\\n'], ['sort'], ['sh', '-c', 'cat; exit 3']], { cols: 100, rows: 30 });
    const out = collect(job);
    assert.deepEqual(await withTimeout(job.exited, 'exit'), { exitCode: 3, signal: 0 });
    assert.equal(out.text, 'apple\r\npear\r\n');
    assert.equal(job.cols, 100);
  });

  await t.test('the first member reads what is typed, the terminal is /dev/tty of every member', async () => {
    const job = client.spawnPipeline([['sh', '-c', 'echo ready > /dev/tty; read x; echo "got $x"'], ['tr', 'a-z', 'A-Z']]);
    const out = collect(job);
    await out.until('ready');
    job.write('hi\r');
    await out.until('GOT HI');
    assert.deepEqual(await withTimeout(job.exited, 'exit'), { exitCode: 0, signal: 0 });
  });

  await t.test('Ctrl-C stops every member; kill() signals them all', async () => {
    for (const [stop, signal] of [[(job) => job.write('\x03'), 2], [(job) => job.kill('SIGTERM'), 15]]) {
      const marker = `9${process.pid}${signal}`;
      const job = client.spawnPipeline([['sleep', marker], ['cat']]);
      await withTimeout(job.ready, 'start');
      await eventually(() => processesRunning(['sleep', marker]).length === 1, 'the first member');
      const first = processesRunning(['sleep', marker]);
      stop(job);
      assert.deepEqual(await withTimeout(job.exited, 'exit'), { exitCode: 0, signal });
      await allGone(first);
    }
  });

  await t.test('exact bytes with encoding null', async () => {
    const job = client.spawnPipeline([['printf', '\\351\\377'], ['cat']], { encoding: null });
    const seen = [];
    job.onData((data) => seen.push(data));
    await withTimeout(job.exited, 'exit');
    assert.deepEqual(Buffer.concat(seen), Buffer.from([0xe9, 0xff]));
  });
});

test('runPipeline: live output, stopped by kill() or an AbortSignal', needs('stream'), async (t) => {
  const client = createClient({ executorPath });
  t.after(() => client.close());

  await t.test('output arrives while the pipeline runs', async () => {
    const lines = [];
    let settled = false;
    const firstLine = new Promise((resolve) => {
      const run = client.runPipeline([['sh', '-c', 'for i in 1 2 3; do echo line $i; sleep 0.3; done'], ['cat']], {
        onStdout: (text) => {
          lines.push({ text, settled });
          resolve();
        },
        onStderr: () => {},
      });
      run.then(() => {
        settled = true;
      });
      t.after(() => run);
    });
    await withTimeout(firstLine, 'the first line');
    await eventually(() => settled, 'the end');
    assert.equal(lines[0].settled, false, 'the first line came before the end');
    assert.equal(lines.map((l) => l.text).join(''), 'line 1\nline 2\nline 3\n');
  });

  await t.test('kill() ends a pipeline that never ends; the file services are not held up', async () => {
    const marker = `8${process.pid}`;
    const run = client.runPipeline([['sleep', marker], ['cat']]);
    await eventually(() => processesRunning(['sleep', marker]).length === 1, 'the pipeline');
    const first = processesRunning(['sleep', marker]);
    assert.match(await withTimeout(client.readFile('/proc/self/stat'), 'a file read meanwhile'), /stdio_executor/);
    run.kill();
    const result = await withTimeout(run, 'the end');
    assert.equal(result.signal, 15);
    await allGone(first);
  });

  await t.test('an AbortSignal stops it: an AbortError holding what was collected', async () => {
    const abort = new AbortController();
    const run = client.runPipeline([['sh', '-c', 'echo started; exec sleep 1000'], ['cat']], {
      signal: abort.signal,
      killSignal: 'SIGKILL',
      onStdout: () => abort.abort(),
    });
    await assert.rejects(withTimeout(run, 'the end'), (err) => {
      assert.equal(err.name, 'AbortError');
      assert.equal(err.result.stdout, 'started\n');
      assert.equal(err.result.signal, 9);
      return true;
    });
    const already = client.runPipeline([['true']], { signal: AbortSignal.abort() });
    await assert.rejects(already, { name: 'AbortError' });
  });
});
