'use strict';
// Keystroke echo as a Node front end sees it, on the Node library and on
// node-pty in the same process, rounds alternating between them:
// - key: one character typed into `cat`, until its echo arrives;
// - line: Enter after `echo eNx` at an interactive bash prompt, until the
//   command's output line arrives (the web terminal's echo, without the browser).
// Usage: node bench/node/echo_latency.js [node-pty directory] (default build/nodepty);
// the executor is $ZELTA_STDIO_EXECUTOR. ROUNDS sets the rounds per mode (default 200),
// PAUSE_MS the pause between them (default 5). LIBRARY_BASELINE=<directory of another
// copy of clients/node> adds that copy as a third backend, "baseline".

const path = require('node:path');
const library = require(path.resolve(__dirname, '../../clients/node'));

const nodePtyDir = path.resolve(process.argv[2] || path.join(__dirname, '../../build/nodepty'));
const nodePty = require(require.resolve('node-pty', { paths: [path.join(nodePtyDir, 'node_modules')] }));

const ROUNDS = Number(process.env.ROUNDS || 200);
const PAUSE_MS = Number(process.env.PAUSE_MS || 5); // between keystrokes
const BASH = ['bash', ['--norc', '--noprofile', '-i']];
const ENV = { ...process.env, PS1: '$ ', HISTFILE: '/dev/null' };
const now = () => Number(process.hrtime.bigint()) / 1e6; // ms

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

function quantile(values, q) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

/** A terminal whose output is watched: until(pattern) resolves once what came since the last call matches. */
function watch(pty, file, args) {
  const term = pty.spawn(file, args, { name: 'xterm-256color', cols: 80, rows: 24, cwd: '/tmp', env: ENV });
  let seen = '';
  let waiter = null;
  term.onData((data) => {
    seen += data;
    if (waiter && waiter.pattern.test(seen)) {
      const { resolve } = waiter;
      waiter = null;
      resolve(now());
    }
  });
  return {
    term,
    until(pattern) {
      return new Promise((resolve) => {
        if (pattern.test(seen)) resolve(now());
        else waiter = { pattern, resolve };
      });
    },
    reset() {
      seen = '';
    },
  };
}

async function main() {
  const backends = { library, 'node-pty': nodePty };
  if (process.env.LIBRARY_BASELINE) backends.baseline = require(path.resolve(process.env.LIBRARY_BASELINE));
  const cats = {};
  const shells = {};
  for (const [name, pty] of Object.entries(backends)) {
    cats[name] = watch(pty, 'cat', []);
    shells[name] = watch(pty, ...BASH);
  }
  for (const name of Object.keys(backends)) {
    await cats[name].until(/$/); // nothing to wait for: cat prints nothing
    await shells[name].until(/\$ $/);
  }
  await new Promise((r) => setTimeout(r, 200));
  const figures = {};
  for (const name of Object.keys(backends)) figures[name] = { key: [], line: [] };
  // Each backend goes first as often as the others.
  const order = (round) => {
    const names = Object.keys(backends);
    return names.map((_, i) => names[(i + round) % names.length]);
  };
  const pause = () => new Promise((r) => setTimeout(r, PAUSE_MS));

  for (let round = 0; round < ROUNDS; round += 1) {
    for (const name of order(round)) {
      const cat = cats[name];
      cat.reset();
      const key = String.fromCharCode(97 + (round % 26));
      const start = now();
      cat.term.write(key);
      figures[name].key.push((await cat.until(new RegExp(key))) - start);
      await pause();
    }
  }
  for (let round = 0; round < ROUNDS; round += 1) {
    for (const name of order(round)) {
      const shell = shells[name];
      shell.reset();
      shell.term.write(`echo e${round}x`);
      await shell.until(new RegExp(`echo e${round}x$`));
      await pause();
      shell.reset();
      const start = now();
      shell.term.write('\r');
      figures[name].line.push((await shell.until(new RegExp(`\\re${round}x\\r\\n`))) - start);
      await shell.until(/\$ $/);
      await pause();
    }
  }

  console.log(`keystroke echo, ${ROUNDS} alternating rounds per mode (ms: median, 90th percentile)`);
  console.log('backend    key into cat        Enter at a bash prompt');
  for (const name of Object.keys(backends)) {
    const f = figures[name];
    const cell = (v) => `${median(v).toFixed(3)} ${quantile(v, 0.9).toFixed(3)}`.padEnd(20);
    console.log(`${name.padEnd(10)} ${cell(f.key)}${cell(f.line)}`);
  }
  const ratio = (key) => (median(figures['node-pty'][key]) / median(figures.library[key])).toFixed(2);
  console.log(`node-pty time / library time: key ${ratio('key')}, line ${ratio('line')} (above 1: the library is faster)`);

  for (const name of Object.keys(backends)) {
    cats[name].term.kill('SIGHUP');
    shells[name].term.kill('SIGHUP');
  }
  await library.close();
  if (backends.baseline) await backends.baseline.close();
  process.exit(0);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
