'use strict';
// The terminal read and written by the library itself, on an executor with
// "terminal_fd", and the same checks through the executor's output events on
// one without it: exact bytes both ways, nothing lost at the exit, pause,
// and no descriptor or process left behind. (A flood paused and resumed is
// in nodepty.test.js.)

const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { createClient } = require('..');
const { executorPath, needs, withTimeout, collect, eventually, alive, allGone, executorChildren } = require('./support');

const withoutExtension = path.join(__dirname, 'fixtures/no_terminal_fd.js');

/** The descriptors this process has open, and how many of them are pseudo-terminal masters. */
function descriptors() {
  const all = fs.readdirSync('/proc/self/fd');
  const masters = all.filter((fd) => {
    try {
      return fs.readlinkSync(`/proc/self/fd/${fd}`) === '/dev/ptmx';
    } catch {
      return false; // the directory's own descriptor, gone once listed
    }
  });
  return { count: all.length, masters: masters.length };
}

const modes = [
  { name: 'read directly', path: executorPath, direct: true, options: needs('terminal_fd', 'pause') },
  { name: 'read through output events', path: withoutExtension, direct: false, options: needs('raw_output', 'pause') },
];

for (const mode of modes) {
  test(`a terminal ${mode.name}`, mode.options, async (t) => {
    const client = createClient({ executorPath: mode.path });
    t.after(() => client.close());

    await t.test('bytes 00 to ff come back exactly, as Buffers; the master is held only where read directly', async () => {
      const term = client.spawn('sh', ['-c', 'stty raw -echo -iexten; printf ready; head -c 256'], { encoding: null });
      const seen = [];
      term.onData((data) => seen.push(data));
      await withTimeout(term.ready, 'start');
      assert.equal(term.master !== null, mode.direct);
      assert.equal(descriptors().masters, mode.direct ? 1 : 0);
      await eventually(() => Buffer.concat(seen).toString('latin1') === 'ready', 'ready');
      const all = Buffer.from(Array.from({ length: 256 }, (_, i) => i));
      term.write(all.subarray(0, 100));
      term.write(all.subarray(100));
      assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 0, signal: 0 });
      assert.ok(seen.every((chunk) => Buffer.isBuffer(chunk)));
      assert.deepEqual(Buffer.concat(seen), Buffer.concat([Buffer.from('ready'), all]));
    });

    await t.test('all output comes before onExit, however much there is', async () => {
      for (let round = 0; round < 3; round += 1) {
        const term = client.spawn('seq', ['1', '200000']);
        let length = 0;
        let tail = '';
        term.onData((data) => {
          length += data.length;
          tail = (tail + data).slice(-16);
        });
        const atExit = new Promise((resolve) => term.onExit(() => resolve({ length, tail })));
        const seen = await withTimeout(atExit, 'onExit');
        // 1 to 200000, each followed by "\r\n".
        assert.deepEqual(seen, { length: 1488895, tail: '199999\r\n200000\r\n' }, `round ${round}`);
      }
    });

    await t.test('large input arrives whole and in order, however it is cut and whatever the caller does with its bytes', async () => {
      const term = client.spawn('sh', ['-c', 'stty raw -echo -iexten; echo ready; head -c 300000 | sha256sum']);
      const out = collect(term);
      await out.until('ready');
      const bytes = crypto.randomBytes(300000);
      const parts = [bytes.subarray(0, 1000).toString('latin1'), 'é€😀', bytes.subarray(1000, 150000), bytes.subarray(150000)];
      const sent = Buffer.concat(parts.map((part) => (typeof part === 'string' ? Buffer.from(part, 'utf8') : part))).subarray(0, 300000);
      const hash = crypto.createHash('sha256').update(sent).digest('hex');
      for (const part of parts) {
        const copy = typeof part === 'string' ? part : Uint8Array.from(part);
        term.write(copy);
        if (typeof copy !== 'string') copy.fill(0); // the library must have what it was given
      }
      await out.until(`${hash}  -`);
      assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 0, signal: 0 });
    });

    await t.test('output and an exit that come while paused are handed out on resume, in order', async () => {
      const term = client.spawn('sh', ['-c', 'stty -echo; echo ready; read x; printf done; exit 3']);
      const out = collect(term);
      const events = [];
      term.onData((data) => events.push(data));
      term.onExit((exit) => events.push(exit));
      await out.until('ready');
      events.length = 0;
      term.pause();
      term.write('go\r');
      await new Promise((r) => setTimeout(r, 300));
      assert.deepEqual(events, []);
      term.resume();
      await withTimeout(term.exited, 'exit');
      await eventually(() => events.length > 0 && typeof events.at(-1) === 'object', 'onExit');
      assert.equal(events.slice(0, -1).join(''), 'done');
      assert.deepEqual(events.at(-1), { exitCode: 3, signal: 0 });
      // Closed while paused after its command has ended with output unread:
      // the real exit, the output still held for resume().
      const ended = client.spawn('sh', ['-c', 'stty -echo; echo ready; read x; seq 1 300; exit 5']);
      const unread = collect(ended);
      await unread.until('ready');
      ended.pause();
      ended.write('go\r');
      await eventually(() => !alive(ended.pid), 'the command gone');
      assert.deepEqual(await withTimeout(ended.close(), 'close'), { exitCode: 5, signal: 0 });
      assert.equal(unread.text, 'ready\r\n');
      ended.resume();
      await unread.until('299\r\n300\r\n');
    });
  });
}

test('a terminal read directly leaves no descriptor and no process behind', needs('terminal_fd'), async () => {
  const before = descriptors();
  const client = createClient({ executorPath, maxIdleExecutors: 1 });
  const pids = [];
  for (let i = 0; i < 12; i += 1) {
    const term = client.spawn('sh', ['-c', `echo ${i}`]);
    const out = collect(term);
    await withTimeout(term.exited, 'exit');
    assert.equal(out.text, `${i}\r\n`);
    pids.push(term.pid, term.executorPid);
  }
  const live = [1, 2, 3, 4].map(() => client.spawn('cat', []));
  await withTimeout(Promise.all(live.map((term) => term.ready)), 'starts');
  pids.push(...live.flatMap((term) => [term.pid, term.executorPid]));
  // One master and executor for each live terminal (the first took the idle
  // one); the executors of finished terminals end.
  await eventually(() => descriptors().masters === 4 && executorChildren().length === 4, 'four masters and executors');
  live[0].write('\u0004');
  await live[1].close();
  await withTimeout(Promise.all(live.slice(0, 2).map((term) => term.exited)), 'two exits');
  // Two live, and one fresh executor kept idle.
  await eventually(() => descriptors().masters === 3 && executorChildren().length === 3, 'three masters and executors');
  await withTimeout(client.close(), 'close');
  await allGone(pids);
  assert.deepEqual(executorChildren(), []);
  assert.deepEqual(descriptors(), before);
});

test('an executor without "terminal_fd": no master stays open, the executor serves again', needs('raw_output'), async (t) => {
  for (const fixture of [withoutExtension, path.join(__dirname, 'fixtures/old_executor.js')]) {
    await t.test(path.basename(fixture), async () => {
      const client = createClient({ executorPath: fixture });
      const term = client.spawn('cat', []);
      await withTimeout(term.ready, 'start');
      assert.equal(term.master, null);
      assert.equal(descriptors().masters, 0);
      term.kill('SIGTERM');
      await withTimeout(term.exited, 'exit');
      assert.equal(client.pool.idle[0], term.executor);
      await client.close();
    });
  }
});

test('pipelines run on the output events; members get descriptors 0, 1 and 2 only', needs('terminal_fd', 'terminal'), async (t) => {
  const client = createClient({ executorPath });
  t.after(() => client.close());
  const listing = ['ls', '-1', '/proc/self/fd']; // ls opens the directory it lists (3)
  const result = await withTimeout(client.runPipeline([listing, ['cat']]), 'runPipeline');
  assert.equal(result.stdout, '0\n1\n2\n3\n');
  // The pipeline left its executor's master unused: the next terminal reads it.
  // On the executor shared with the file requests, it had none to leave.
  assert.equal(descriptors().masters, client.pool.concurrent ? 0 : 1);
  const job = client.spawnPipeline([listing, ['cat']]);
  const out = collect(job);
  await withTimeout(job.exited, 'exit');
  assert.equal(job.master, null);
  assert.deepEqual(out.text.trim().split(/\r\n/), ['0', '1', '2', '3']);
  const term = client.spawn('true', []);
  await withTimeout(term.ready, 'start');
  assert.equal(term.executor.masterUsed, true);
  await withTimeout(term.exited, 'exit');
});
