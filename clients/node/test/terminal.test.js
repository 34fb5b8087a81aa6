'use strict';
// Terminals against the real executor: typing, signals, resize, several at once, misuse.

const test = require('node:test');
const assert = require('node:assert/strict');
const { createClient } = require('..');
const { executorPath, withTimeout, collect, needs } = require('./support');

test('terminals', async (t) => {
  const client = createClient({ executorPath });
  t.after(() => client.close());

  await t.test('cat echoes typed text, typed before and after it started', async () => {
    const term = client.spawn('cat', []);
    const out = collect(term);
    term.write('early\n'); // queued until the command has started
    await withTimeout(term.ready, 'started');
    assert.ok(Number.isInteger(term.pid) && term.pid > 0);
    await out.until('early\r\nearly\r\n');
    term.write(new TextEncoder().encode('caf\u00e9 late\n').subarray(0, 4)); // "caf" + half of "é"
    term.write(new TextEncoder().encode('caf\u00e9 late\n').subarray(4));
    await out.until('café late\r\ncafé late\r\n');
    term.write('\u0004');
    assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 0, signal: 0 });
  });

  // A command ended by a signal reports exit code 0 and the signal, as node-pty does.
  const signals = [
    { how: 'Ctrl-C typed', act: (term) => term.write('\u0003'), exit: { exitCode: 0, signal: 2 } },
    { how: 'kill("INT")', act: (term) => term.kill('INT'), exit: { exitCode: 0, signal: 2 } },
    { how: 'kill() (HUP)', act: (term) => term.kill(), exit: { exitCode: 0, signal: 1 } },
    { how: 'kill("SIGTERM")', act: (term) => term.kill('SIGTERM'), exit: { exitCode: 0, signal: 15 } },
    { how: 'kill("SIGUSR1")', act: (term) => term.kill('SIGUSR1'), exit: { exitCode: 0, signal: 10 } },
    { how: 'kill(9)', act: (term) => term.kill(9), exit: { exitCode: 0, signal: 9 } },
    { how: 'a plain exit code', act: (term) => term.write('7\n'), exit: { exitCode: 7, signal: 0 } },
    { how: 'exit 130, no signal', act: (term) => term.write('130\n'), exit: { exitCode: 130, signal: 0 } },
    { how: 'a signal the shell sends itself', act: (term) => term.write('kill\n'), exit: { exitCode: 0, signal: 2 } },
  ];
  for (const { how, act, exit } of signals) {
    await t.test(`onExit after ${how}`, needs('exit_signal', 'signals'), async () => {
      const term = client.spawn('sh', ['-c', 'echo go; read line; [ "$line" = kill ] && kill -INT $$; exit $line']);
      const out = collect(term);
      const exited = new Promise((resolve) => term.onExit(resolve));
      await out.until('go');
      act(term);
      assert.deepEqual(await withTimeout(exited, 'onExit'), exit);
      assert.deepEqual(await term.exited, exit);
    });
  }

  await t.test('resize reaches a program waiting for SIGWINCH', { skip: process.env.ZELTA_NO_RESIZE ? 'no run.resize' : false }, async () => {
    const term = client.spawn('sh', ['-c', 'trap "stty size; exit 0" WINCH; echo ready; while :; do sleep 0.05; done'], {
      rows: 24,
      cols: 80,
    });
    const out = collect(term);
    await out.until('ready');
    term.resize(100, 30);
    assert.equal(term.cols, 100);
    await out.until('30 100');
    assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 0, signal: 0 });
  });

  await t.test('three terminals at once, each with its own size, input and output', async () => {
    const terms = [1, 2, 3].map((n) => client.spawn('sh', ['-c', 'stty size; read a; echo "got $a"'], { rows: 10 + n, cols: 50 + n }));
    const outs = terms.map(collect);
    await Promise.all(outs.map((out, i) => out.until(`${11 + i} ${51 + i}`)));
    const pids = new Set(terms.map((term) => term.executorPid));
    assert.equal(pids.size, 3, 'one executor per live terminal');
    terms.forEach((term, i) => term.write(`t${i}\n`));
    await Promise.all(outs.map((out, i) => out.until(`got t${i}`)));
    const exits = await withTimeout(Promise.all(terms.map((term) => term.exited)), 'three exits');
    assert.deepEqual(exits, [0, 1, 2].map(() => ({ exitCode: 0, signal: 0 })));
  });

  await t.test('a finished terminal ignores write, resize and kill, as node-pty does', async () => {
    const term = client.spawn('true', []);
    await withTimeout(term.exited, 'exit');
    term.write('x');
    term.resize(10, 10);
    term.kill('INT');
    assert.equal(term.cols, 80);
  });

  await t.test('bad arguments are refused before anything is sent', () => {
    const term = client.spawn('cat', []);
    t.after(() => term.close());
    const cases = [
      [() => term.kill('SIGNOPE'), TypeError],
      [() => term.kill(1000), TypeError],
      [() => term.resize(-1, 10), RangeError],
      [() => term.resize(0, 10), RangeError],
      [() => client.spawn('ls', '-l'), TypeError],
      [() => client.spawn('ls', [], { encoding: 'klingon' }), TypeError],
      [() => client.spawn('ls', [], { env: 'A=1' }), TypeError],
      [() => client.spawn('ls', [], { uid: 0 }), TypeError],
      [() => term.resize(80, 65536), RangeError],
      [() => term.write(42), TypeError],
      [() => client.spawn('ls', ['-l', 3]), TypeError],
      [() => client.spawn('ls', [], { rows: 1.5 }), RangeError],
      [() => client.spawn(['ls']), TypeError],
    ];
    for (const [act, kind] of cases) assert.throws(act, kind);
  });

  await t.test('a program that is not found exits 127 with the terminal saying so', async () => {
    const term = client.spawn('no-such-program-here', []);
    const out = collect(term);
    assert.deepEqual(await withTimeout(term.exited, 'exit'), { exitCode: 127, signal: 0 });
    assert.match(out.text, /no-such-program-here: command not found/);
  });

  await t.test('a working directory that does not exist fails the command, the terminal saying so', async () => {
    const term = client.spawn('true', [], { cwd: '/no/such/directory' });
    const out = collect(term);
    const exit = await withTimeout(term.exited, 'exit');
    assert.notEqual(exit.exitCode, 0);
    assert.match(out.text, /no\/such\/directory/);
  });

  await t.test('env replaces the environment; name is TERM; PWD is cwd', needs('env'), async () => {
    const env = { GREETING: 'hi there', PATH: process.env.PATH, HOME: undefined };
    const term = client.spawn('sh', ['-c', 'echo "[$PWD:$GREETING:$TERM:${HOME-unset}:${LOGNAME-unset}]"'], { cwd: '/usr', env, name: 'vt100' });
    const out = collect(term);
    await withTimeout(term.exited, 'exit');
    assert.match(out.text, /\[\/usr:hi there:vt100:unset:unset\]\r\n/);
  });

  await t.test('TERM defaults to the env given, then to "xterm"', needs('env'), async () => {
    for (const [env, term] of [[{ TERM: 'screen' }, 'screen'], [{}, 'xterm']]) {
      const run = client.spawn('/bin/sh', ['-c', 'echo "<$TERM>"'], { env });
      const out = collect(run);
      await withTimeout(run.exited, 'exit');
      assert.match(out.text, new RegExp(`<${term}>`));
    }
  });
});
