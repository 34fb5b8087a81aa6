'use strict';
// Pipelines and file services against the real executor; errors carry the executor's text.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { createClient, ExecutorError } = require('..');
const { executorPath, withTimeout } = require('./support');

test('pipelines and services', async (t) => {
  const client = createClient({ executorPath });
  t.after(() => client.close());
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zelta-node-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  fs.mkdirSync(path.join(dir, 'sub'));
  for (const name of ['b.txt', 'a.txt', 'c.md', 'sub/d.txt']) fs.writeFileSync(path.join(dir, name), `${name}\n`);
  fs.writeFileSync(path.join(dir, 'text.txt'), 'Café, tab:\there.\n\u2500\u2502 done');

  const pipelines = [
    { name: 'output of the last member', commands: [['printf', 'pear\\napple\\n'], ['sort']], result: { stdout: 'apple\npear\n', stderr: '', exitCode: 0 } },
    { name: "the last member's exit code and every member's stderr", commands: [['sh', '-c', 'echo one >&2; echo x'], ['sh', '-c', 'cat; echo two >&2; exit 3']], result: { stdout: 'x\n', stderr: 'one\ntwo\n', exitCode: 3 } },
    { name: 'a single member runs on pipes', commands: [['sh', '-c', 'test -t 1 && echo tty || echo pipe']], result: { stdout: 'pipe\n', stderr: '', exitCode: 0 } },
    { name: 'cwd and env', commands: [['sh', '-c', 'echo "$PWD $ZV"']], options: { cwd: '/usr', env: { ZV: 'v' } }, result: { stdout: '/usr v\n', stderr: '', exitCode: 0 } },
    { name: 'a relative cwd is the Node process\'s', commands: [['pwd']], options: { cwd: '.' }, result: { stdout: `${process.cwd()}\n`, stderr: '', exitCode: 0 } },
  ];
  for (const { name, commands, options, result } of pipelines) {
    await t.test(`runPipeline: ${name}`, async () => {
      assert.deepEqual(await withTimeout(client.runPipeline(commands, options), 'pipeline'), result);
    });
  }

  await t.test('requests sent at once are answered in order', async () => {
    const answers = await withTimeout(
      Promise.all([
        client.runPipeline([['echo', 'first']]),
        client.readFile(path.join(dir, 'a.txt')),
        client.glob('*.md', { cwd: dir }),
        client.processSubstPath(),
        client.runPipeline([['echo', 'last']]),
      ]),
      'five answers',
    );
    assert.equal(answers[0].stdout, 'first\n');
    assert.equal(answers[1], 'a.txt\n');
    assert.deepEqual(answers[2], [path.join(dir, 'c.md')]);
    assert.match(answers[3], /^\/tmp\/zelta-stdio-\d+$/);
    assert.equal(answers[4].stdout, 'last\n');
  });

  await t.test('readFile returns the text unchanged', async () => {
    assert.equal(await client.readFile(path.join(dir, 'text.txt')), 'Café, tab:\there.\n\u2500\u2502 done');
  });

  await t.test('glob: pattern by pattern, sorted within each, relative to cwd', async () => {
    assert.deepEqual(
      await client.glob(['*.txt', '**/d.txt', 'none*'], { cwd: dir }),
      ['a.txt', 'b.txt', 'text.txt', 'sub/d.txt'].map((name) => path.join(dir, name)),
    );
    assert.deepEqual(await client.glob([], { cwd: dir }), []);
  });

  const errors = [
    ['a missing file', () => client.readFile(path.join(dir, 'missing')), 'Read error: No such file or directory (os error 2)'],
    ['a pipeline member that is not found', () => client.runPipeline([['no-such-program-here'], ['cat']]), 'spawn failed: No such file or directory (os error 2)'],
    ['a pipeline in a missing directory', () => client.runPipeline([['true']], { cwd: path.join(dir, 'missing') }), /^spawn failed: /],
  ];
  for (const [what, act, text] of errors) {
    await t.test(`an error reply rejects with the executor's text: ${what}`, async () => {
      await assert.rejects(withTimeout(act(), what), (err) => {
        assert.ok(err instanceof ExecutorError);
        if (typeof text === 'string') assert.equal(err.message, text);
        else assert.match(err.message, text);
        return true;
      });
    });
  }

  await t.test('the executor goes on serving after errors', async () => {
    assert.equal((await client.runPipeline([['echo', 'still here']])).stdout, 'still here\n');
  });

  await t.test('bad arguments throw before anything is sent', async () => {
    for (const act of [() => client.runPipeline([]), () => client.runPipeline([[]]), () => client.runPipeline([['ls', 1]]), () => client.glob(7), () => client.readFile(undefined)]) {
      await assert.rejects(act(), TypeError);
    }
  });
});

test('an executor that cannot be started rejects every request', async () => {
  const client = createClient({ executorPath: '/nonexistent/stdio_executor' });
  await assert.rejects(client.readFile('/etc/hostname'), /cannot start executor \/nonexistent\/stdio_executor/);
  const term = client.spawn('cat', []);
  const failed = new Promise((resolve) => term.onError(resolve));
  await assert.rejects(term.ready, /cannot start executor/);
  assert.match((await failed).message, /cannot start executor/);
  term.write('x'); // ignored, as after an exit
  await client.close();
});
