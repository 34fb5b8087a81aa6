// Terminal latencies as a Node front end sees them with node-pty in its own
// process: node pty_latency.js MODE SAMPLES [PROGRAM]. Prints one time in
// microseconds per line. Modes:
//   launch  spawn `true` and wait for its exit, SAMPLES times
//   echo    type one character into `cat` and wait for its echo, SAMPLES times
//   output  run PROGRAM SAMPLES (a ticker printing "tick <monotonic ns>" lines)
//           and time each line from its write to its arrival here
// node-pty is looked up in NODE_PATH; exits with status 3 when it is missing.
'use strict';

let pty;
try {
  pty = require('node-pty');
} catch (e) {
  process.exit(3);
}

const mode = process.argv[2];
const samples = Number(process.argv[3]);
const now = () => process.hrtime.bigint();  // CLOCK_MONOTONIC, in ns
const us = (ns) => Number(ns) / 1000;
const options = {name: 'xterm', cols: 80, rows: 24, cwd: '/tmp', env: process.env};
const times = [];

function done() {
  process.stdout.write(times.map((t) => t.toFixed(1)).join('\n') + '\n');
}

function launch() {
  if (times.length === samples) return done();
  const start = now();
  const child = pty.spawn('true', [], options);
  child.onData(() => {});
  child.onExit(() => {
    times.push(us(now() - start));
    setImmediate(launch);
  });
}

function echo() {
  const child = pty.spawn('cat', [], options);
  let start = 0n;
  let waiting = false;
  const type = () => {
    if (times.length === samples) {
      child.write('\n\x04');
      return;
    }
    waiting = true;
    start = now();
    child.write('x');
  };
  child.onData((data) => {
    if (waiting && data.includes('x')) {
      waiting = false;
      times.push(us(now() - start));
      setImmediate(type);
    }
  });
  child.onExit(done);
  // The first keystroke goes out once cat is running, as for the others.
  setTimeout(type, 50);
}

function output() {
  const child = pty.spawn(process.argv[4], [String(samples)], options);
  let pending = '';
  child.onData((data) => {
    const arrived = now();
    pending += data;
    const lines = pending.split('\n');
    pending = lines.pop();
    for (const line of lines) {
      const match = /tick (\d+)/.exec(line);
      if (match) times.push(us(arrived - BigInt(match[1])));
    }
  });
  child.onExit(done);
}

({launch, echo, output})[mode]();
