'use strict';
// Pipelines and file requests side by side on one shared executor where it has
// "concurrent" (played by a fixture over the executor under test where that
// lacks it), and an executor each for pipelines where it has not.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { createClient, ExecutorError } = require('..');
const { executorPath, extensions, needs, withTimeout, collect, eventually, allGone, processesRunning } = require('./support');

const real = extensions.has('concurrent');
process.env.ZELTA_WRAPPED_EXECUTOR ||= executorPath; // the real executor behind the fixtures
const sharedPath = real ? executorPath : path.join(__dirname, 'fixtures/concurrent_executor.js');

/** The pid of the executor process that reads a file: its own /proc/self/stat. */
async function readerPid(client) {
  return Number((await client.readFile('/proc/self/stat')).split(' ')[0]);
}

/** A pipeline printing its parent's pid (the executor that started it), then running until killed. */
function waiting(client, marker, options = {}) {
  let first;
  const started = new Promise((resolve) => {
    first = resolve;
  });
  const run = client.runPipeline([['sh', '-c', `echo $PPID; exec sleep ${marker}`]], { ...options, onStdout: (text) => first(Number(text)) });
  run.catch(() => {});
  return { run, started };
}

test('one executor shared by pipelines and file requests', needs('stream'), async (t) => {
  const client = createClient({ executorPath: sharedPath });
  t.after(() => client.close());

  await t.test('several pipelines and file requests in flight at once, on one executor process', async () => {
    const markers = [1, 2, 3].map((i) => `77${process.pid}.${i}`);
    const runs = markers.map((marker) => waiting(client, marker));
    const answers = await withTimeout(
      Promise.all([client.readFile(__filename), client.glob('*.test.js', { cwd: __dirname }), client.processSubstPath(), ...runs.map((r) => r.started)]),
      'the answers and the starts',
    );
    assert.match(answers[0], /one executor shared/);
    assert.ok(answers[1].includes(__filename));
    assert.match(answers[2], /^\/tmp\/zelta-stdio-\d+$/);
    const pids = markers.flatMap((marker) => processesRunning(['sleep', marker]));
    assert.equal(pids.length, 3, 'all three run at once');
    assert.equal(client.pool.executors.size, 1, 'one executor process');
    if (real) {
      const shared = client.pool.servicesExecutor.pid;
      assert.deepEqual(answers.slice(3), [shared, shared, shared], "every member is the shared executor's child");
      assert.equal(await readerPid(client), shared);
    }
    runs.forEach((r, i) => r.run.kill(i === 0 ? 'SIGKILL' : 'SIGTERM'));
    const results = await withTimeout(Promise.all(runs.map((r) => r.run)), 'the ends');
    assert.deepEqual(results.map((r) => r.signal), [9, 15, 15]);
    await allGone(pids);
  });

  await t.test('a long streamed pipeline does not hold up file requests or a short pipeline', async () => {
    const marker = `78${process.pid}`;
    const lines = [];
    const long = client.runPipeline([['sh', '-c', `echo up; exec sleep ${marker}`], ['cat']], { onStdout: (text) => lines.push(text) });
    let ended = false;
    long.then(() => {
      ended = true;
    });
    await eventually(() => lines.join('') === 'up\n', 'the first line');
    assert.equal(await withTimeout(client.readFile(__filename), 'a read meanwhile'), fs.readFileSync(__filename, 'utf8'));
    assert.deepEqual(await withTimeout(client.runPipeline([['printf', 'b\\na\\n'], ['sort']]), 'a short pipeline'), { stdout: 'a\nb\n', stderr: '', exitCode: 0 });
    assert.equal(ended, false);
    long.kill();
    assert.equal((await withTimeout(long, 'the end')).stdout, 'up\n');
    await allGone(processesRunning(['sleep', marker]));
  });

  await t.test('a failure of one leaves the others, every answer with its own request', async () => {
    const missing = path.join(__dirname, 'no-such-file');
    const abort = new AbortController();
    const aborted = waiting(client, `79${process.pid}`, { signal: abort.signal });
    const settled = Promise.allSettled([
      client.runPipeline([['no-such-program-here'], ['cat']]),
      client.readFile(missing),
      client.runPipeline([['sh', '-c', 'echo out; echo err >&2; exit 3']]),
      client.runPipeline([['true']], { cwd: missing }),
      client.glob(['*.md'], { cwd: path.join(__dirname, '..') }),
      client.readFile(__filename),
      aborted.run,
    ]);
    await withTimeout(aborted.started, 'the pipeline to abort');
    abort.abort();
    const [spawnFailed, readFailed, exited, cwdFailed, globbed, read, abortedRun] = await withTimeout(settled, 'every answer');
    assert.ok(spawnFailed.reason instanceof ExecutorError);
    assert.equal(spawnFailed.reason.message, 'spawn failed: No such file or directory (os error 2)');
    assert.equal(readFailed.reason.message, 'Read error: No such file or directory (os error 2)');
    assert.deepEqual(exited.value, { stdout: 'out\n', stderr: 'err\n', exitCode: 3 });
    assert.match(cwdFailed.reason.message, /^spawn failed: /);
    assert.deepEqual(globbed.value, [path.join(__dirname, '..', 'README.md')]);
    assert.match(read.value, /a failure of one leaves the others/);
    assert.equal(abortedRun.reason.name, 'AbortError');
    assert.equal(abortedRun.reason.result.signal, 15);
    assert.equal(client.pool.executors.size, 1, 'the shared executor serves on');
  });

  await t.test('pipelines on terminals side by side, typed input and output kept apart', needs('terminal'), async () => {
    const jobs = ['a', 'b'].map((name) => client.spawnPipeline([['sh', '-c', `echo ${name}-ready; read x; echo "${name} got $x"`], ['cat']]));
    const outs = jobs.map(collect);
    await Promise.all(outs.map((out, i) => out.until(`${'ab'[i]}-ready`)));
    jobs[1].write('two\r');
    await outs[1].until('b got two');
    const closed = jobs[0].close();
    assert.deepEqual(await withTimeout(closed, 'close'), { exitCode: 0, signal: 1 });
    assert.deepEqual(await withTimeout(jobs[1].exited, 'exit'), { exitCode: 0, signal: 0 });
    assert.doesNotMatch(outs[0].text, /got/);
    if (real) assert.deepEqual(jobs.map((job) => job.executorPid), [1, 2].map(() => client.pool.servicesExecutor.pid));
    assert.equal(client.pool.executors.size, 1);
  });
});

test('without "concurrent", each pipeline has an executor of its own', async (t) => {
  const hidden = process.env.ZELTA_HIDDEN_EXTENSIONS;
  process.env.ZELTA_HIDDEN_EXTENSIONS = 'concurrent,terminal_fd';
  const client = createClient({ executorPath: path.join(__dirname, 'fixtures/no_terminal_fd.js') });
  t.after(() => {
    if (hidden === undefined) delete process.env.ZELTA_HIDDEN_EXTENSIONS;
    else process.env.ZELTA_HIDDEN_EXTENSIONS = hidden;
    return client.close();
  });
  const runs = [1, 2].map((i) => waiting(client, `80${process.pid}.${i}`));
  const parents = await withTimeout(Promise.all(runs.map((r) => r.started)), 'two starts');
  assert.notEqual(parents[0], parents[1]);
  assert.equal(client.pool.concurrent, false);
  assert.match(await withTimeout(client.readFile(__filename), 'a read meanwhile'), /an executor of its own/);
  for (const r of runs) r.run.kill();
  assert.deepEqual((await withTimeout(Promise.all(runs.map((r) => r.run)), 'the ends')).map((r) => r.signal), [15, 15]);
});
