'use strict';
// The checks a node-pty user relies on, against the real executor: encodings,
// exact input bytes, flow control, the foreground process, descriptors, hang-up
// of an interactive shell, listener errors, close() and the older event form.

const test = require('node:test');
const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { createClient } = require('..');
const { executorPath, withTimeout, collect, needs, eventually, alive, allGone, processesRunning } = require('./support');

/** Every chunk a terminal hands out, and a promise of its exit. */
function chunks(term) {
  const seen = [];
  term.onData((data) => seen.push(data));
  return seen;
}

/** Bytes written so far by a process (its write count in /proc). */
function written(pid) {
  return Number(/wchar: (\d+)/.exec(fs.readFileSync(`/proc/${pid}/io`, 'utf8'))[1]);
}

test('node-pty checks', async (t) => {
  const client = createClient({ executorPath });
  t.after(() => client.close());
  // e9 is no UTF-8 on its own; "é" is c3 a9, sent in two writes to split it.
  const script = "printf '\\351A\\n'; printf '\\303'; sleep 0.2; printf '\\251\\n'";

  const encodings = [
    { encoding: null, expect: (all) => assert.deepEqual(Buffer.concat(all), Buffer.from([0xe9, 0x41, 0x0d, 0x0a, 0xc3, 0xa9, 0x0d, 0x0a])) },
    { encoding: 'utf8', expect: (all) => assert.equal(all.join(''), '\ufffdA\r\né\r\n') },
    { encoding: 'base64', expect: (all) => assert.equal(Buffer.from(all.join(''), 'base64').toString('hex'), 'e9410d0ac3a90d0a') },
    { encoding: 'latin1', expect: (all) => assert.equal(all.join(''), '\u00e9A\r\n\u00c3\u00a9\r\n') },
  ];
  for (const { encoding, expect } of encodings) {
    await t.test(`encoding ${String(encoding)} gives the exact bytes`, needs('raw_output'), async () => {
      const term = client.spawn('sh', ['-c', script], { encoding });
      const all = chunks(term);
      await withTimeout(term.exited, 'exit');
      if (encoding === null) assert.ok(all.every((chunk) => Buffer.isBuffer(chunk)));
      else assert.ok(all.every((chunk) => typeof chunk === 'string'));
      expect(all);
    });
  }

  await t.test('bytes written reach the program unchanged, strings as UTF-8', needs('raw_output'), async () => {
    const term = client.spawn('sh', ['-c', 'stty raw -echo; echo ready; head -c 6 | od -An -tx1'], {});
    const out = collect(term);
    await out.until('ready');
    term.write(Buffer.from([0xe9, 0x41, 0x0a]));
    term.write(new Uint8Array([0xff, 0x00]).subarray(0, 1));
    term.write('é');
    await out.until('e9 41 0a ff c3 a9');
    await withTimeout(term.exited, 'exit');
  });

  await t.test('XOFF and XON written with handleFlowControl pause and resume a flood', needs('pause'), async () => {
    const term = client.spawn('yes', [], { handleFlowControl: true });
    let received = 0;
    term.onData((data) => {
      received += data.length;
    });
    await withTimeout(term.ready, 'start');
    await eventually(() => received > 100000, 'output');
    term.write('\x13');
    const atPause = received;
    // The command blocks once the terminal's buffer is full: its writes stop.
    let before = -1;
    await eventually(async () => {
      const now = written(term.pid);
      const still = now === before;
      before = now;
      await new Promise((r) => setTimeout(r, 300));
      return still && written(term.pid) === now;
    }, 'yes to block');
    assert.equal(received, atPause, 'nothing handed out while paused');
    term.write('\x11');
    await eventually(() => received > atPause + 100000, 'output after XON');
    term.write('\x03');
    assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 0, signal: 2 });
  });

  await t.test('pause() holds output back and the exit behind it; resume() hands both out in order', needs('pause'), async () => {
    const term = client.spawn('sh', ['-c', 'read x; seq 1 20000'], { handleFlowControl: false });
    const events = [];
    term.onData((data) => events.push(data));
    term.onExit((exit) => events.push(exit));
    await withTimeout(term.ready, 'start');
    term.pause();
    term.write('go\r');
    await new Promise((r) => setTimeout(r, 300));
    assert.equal(events.length, 0);
    term.resume();
    await withTimeout(term.exited, 'exit');
    const text = events.slice(0, -1).join('');
    assert.ok(text.endsWith('19999\r\n20000\r\n'));
    assert.equal(text.split('\r\n').length, 20002); // the echoed "go", 20000 numbers, and the end
    assert.deepEqual(events.at(-1), { exitCode: 0, signal: 0 });
  });

  await t.test('process names the foreground program, and the shell again after it', needs('foreground', 'env'), async () => {
    const term = client.spawn('bash', ['--norc', '--noprofile', '-i'], { env: { PATH: process.env.PATH, PS1: '$ ' } });
    const out = collect(term);
    await out.until('$ ');
    await eventually(async () => (await term.foreground())?.name === 'bash', 'bash in the foreground');
    term.write('sleep 1000\r');
    await eventually(async () => (await term.foreground())?.name === 'sleep', 'sleep in the foreground');
    const front = await term.foreground();
    assert.equal(front.cwd, process.cwd());
    assert.notEqual(front.pid, term.pid);
    await eventually(() => term.process === 'sleep', 'process to say sleep');
    term.write('\x03');
    await eventually(async () => (await term.foreground())?.name === 'bash', 'bash back in the foreground');
    term.kill();
    assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 0, signal: 1 });
    assert.equal(await term.foreground(), null);
  });

  await t.test('a child gets descriptors 0, 1 and 2 only', async () => {
    const term = client.spawn('ls', ['-1', '/proc/self/fd']);
    const out = collect(term);
    await withTimeout(term.exited, 'exit');
    // ls itself opens the directory it lists (3).
    assert.deepEqual(out.text.trim().split(/\r\n/), ['0', '1', '2', '3']);
  });

  await t.test('kill() hangs up an interactive shell, and nothing it started runs on', needs('signals', 'env'), async () => {
    const marker = `7${process.pid}`;
    const term = client.spawn('bash', ['--norc', '--noprofile', '-i'], { env: { PATH: process.env.PATH, PS1: '$ ' } });
    const out = collect(term);
    await out.until('$ ');
    term.write(`sleep ${marker}1 & sleep ${marker}2\r`);
    await eventually(() => processesRunning(['sleep', `${marker}2`]).length === 1, 'the jobs');
    const jobs = [...processesRunning(['sleep', `${marker}1`]), ...processesRunning(['sleep', `${marker}2`])];
    term.kill();
    assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 0, signal: 1 });
    await allGone([term.pid, ...jobs]);
  });

  await t.test('close() reports how the command really ended', needs('signals'), async () => {
    const ignoring = client.spawn('sh', ['-c', "trap '' HUP; echo up; while :; do sleep 0.1; done"]);
    const out = collect(ignoring);
    await out.until('up');
    // SIGHUP is ignored: SIGKILL follows after the grace period.
    assert.deepEqual(await withTimeout(ignoring.close(), 'close'), { exitCode: 0, signal: 9 });
    const trapping = client.spawn('sh', ['-c', "trap 'exit 5' HUP; echo up; while :; do sleep 0.1; done"]);
    await collect(trapping).until('up');
    assert.deepEqual(await withTimeout(trapping.close(), 'close'), { exitCode: 5, signal: 0 });
    assert.deepEqual(await trapping.exited, { exitCode: 5, signal: 0 });
  });

  await t.test('pid is there once ready resolves with it', async () => {
    const term = client.spawn('cat', []);
    assert.equal(term.pid, undefined);
    const pid = await withTimeout(term.ready, 'start');
    assert.equal(term.pid, pid);
    assert.ok(alive(pid));
    term.kill('SIGTERM');
    assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 0, signal: 15 });
  });

  await t.test("the older on('data') and on('exit', (code, signal)) form", async () => {
    const term = client.spawn('sh', ['-c', 'echo hi; exit 4']);
    let text = '';
    const onData = (data) => {
      text += data;
    };
    const exited = new Promise((resolve) => term.once('exit', (code, signal) => resolve([code, signal])));
    term.on('data', onData);
    assert.deepEqual(await withTimeout(exited, 'exit'), [4, 0]);
    assert.equal(text, 'hi\r\n');
    term.removeListener('data', onData);
  });
});

test('a throwing listener: an uncaught exception, the other listeners still called, exited resolved', async () => {
  const library = JSON.stringify(path.resolve(__dirname, '..'));
  const program = `const c = require(${library}).createClient({ executorPath: ${JSON.stringify(executorPath)} });
    const seen = [];
    process.on('uncaughtException', (err) => seen.push('uncaught ' + err.message));
    const term = c.spawn('sh', ['-c', 'echo out; exit 3']);
    term.onData(() => { throw new Error('in data'); });
    term.onExit(() => { throw new Error('in exit'); });
    term.onExit((e) => seen.push('second ' + e.exitCode));
    term.exited.then((e) => setTimeout(() => { seen.push('exited ' + e.exitCode); console.log(JSON.stringify(seen)); c.close(); }, 100));`;
  const out = childProcess.execFileSync(process.execPath, ['-e', program], { encoding: 'utf8', timeout: 30000 });
  // The data listener's error may come before or after the exit listeners ran.
  const seen = JSON.parse(out);
  assert.equal(seen.at(-1), 'exited 3');
  assert.deepEqual(seen.slice(0, -1).sort(), ['second 3', 'uncaught in data', 'uncaught in exit']);
});
