'use strict';
// An executor that predates "hello" answers "Unknown: hello": the library works
// on with what that executor has, and says so where it cannot.

const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { createClient } = require('..');
const { withTimeout, collect } = require('./support');

const executorPath = path.join(__dirname, 'fixtures/old_executor.js');

test('an executor without extensions', async (t) => {
  const client = createClient({ executorPath });
  t.after(() => client.close());

  await t.test('bytes are typed as UTF-8 text; only INT, TERM and KILL are sent; the exit code is as reported', async () => {
    const term = client.spawn('cat', [], { encoding: null });
    const seen = [];
    term.onData((data) => seen.push(data));
    await withTimeout(term.ready, 'start');
    term.write(Buffer.from([0xe9, 0x41]));
    assert.throws(() => term.kill('SIGUSR1'), /sends only SIGINT, SIGTERM and SIGKILL/);
    term.kill('SIGTERM');
    assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 143, signal: 0 });
    assert.equal(Buffer.concat(seen).toString('utf8'), 'hi\r\n\ufffdA');
  });

  await t.test('kill() with SIGHUP, the default, ends the executor, which hangs up the terminal', async () => {
    const term = client.spawn('cat', []);
    await withTimeout(term.ready, 'start');
    const executor = term.executor;
    term.kill();
    assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 0, signal: 1 });
    await withTimeout(executor.exited, 'the executor to end');
  });

  await t.test('foreground() has no answer; process stays the file given', async () => {
    const term = client.spawn('vim', []);
    await withTimeout(term.ready, 'start');
    assert.equal(await term.foreground(), null);
    assert.equal(term.process, 'vim');
    await term.close();
  });

  await t.test('a pipeline on a terminal is refused, saying what is missing', async () => {
    const job = client.spawnPipeline([['ls'], ['cat']]);
    const failed = new Promise((resolve) => job.onError(resolve));
    await assert.rejects(job.exited, /lacks the "terminal" extension/);
    assert.match((await failed).message, /terminal/);
  });

  await t.test('runPipeline still runs, its output at the end', async () => {
    const lines = [];
    const result = await withTimeout(client.runPipeline([['ls'], ['cat']], { onStdout: (text) => lines.push(text) }), 'pipeline');
    assert.deepEqual(result, { stdout: 'piped\n', stderr: '', exitCode: 0 });
    assert.deepEqual(lines, ['piped\n']);
  });

  await t.test('pause() holds output back in Node', async () => {
    const term = client.spawn('cat', []);
    const out = collect(term);
    await out.until('hi');
    term.pause();
    term.write('held');
    await new Promise((r) => setTimeout(r, 200));
    assert.equal(out.text, 'hi\r\n');
    term.resume();
    assert.equal(out.text, 'hi\r\nheld');
    term.kill('SIGINT');
    assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 130, signal: 0 });
  });
});
