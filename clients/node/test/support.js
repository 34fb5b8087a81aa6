'use strict';
// Shared by the tests: the executor under test, waiting with generous time-outs, process checks.

const childProcess = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const executorPath =
  process.env.ZELTA_STDIO_EXECUTOR || path.resolve(__dirname, '../../../build/release/stdio_executor');

const LONG = 30000; // the machine may be loaded: wait long, never assert durations

function withTimeout(promise, what, ms = LONG) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out waiting for ${typeof what === 'function' ? what() : what}`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

/** Collects a terminal's output; `until(text)` resolves once the output contains it. */
function collect(terminal) {
  const seen = { text: '', waiters: [] };
  terminal.onData((data) => {
    seen.text += data;
    seen.waiters = seen.waiters.filter((w) => !(seen.text.includes(w.text) && (w.resolve(), true)));
  });
  seen.until = (text) =>
    withTimeout(
      new Promise((resolve) => {
        if (seen.text.includes(text)) resolve();
        else seen.waiters.push({ text, resolve });
      }),
      () => `${JSON.stringify(text)} in ${JSON.stringify(seen.text)}`,
    );
  return seen;
}

/** Whether a process exists and is not a zombie. */
function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
  } catch {
    return false;
  }
}

/** The executors the given process has started. */
function executorChildren(parent = process.pid) {
  const found = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
      const comm = stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(')'));
      const ppid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
      if (ppid === parent && comm === 'stdio_executor') found.push(Number(entry));
    } catch {
      // gone meanwhile
    }
  }
  return found;
}

async function allGone(pids) {
  const deadline = Date.now() + LONG;
  while (pids.some(alive)) {
    if (Date.now() > deadline) throw new Error(`still running: ${pids.filter(alive).join(' ')}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

/** The processes whose command line is exactly `argv`. */
function processesRunning(argv) {
  const wanted = argv.join('\0') + '\0';
  const found = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      if (fs.readFileSync(`/proc/${entry}/cmdline`, 'utf8') === wanted && alive(Number(entry))) found.push(Number(entry));
    } catch {
      // gone meanwhile
    }
  }
  return found;
}

/** The extensions the executor under test has (none for one that predates "hello"). */
const extensions = (() => {
  const out = childProcess.spawnSync(executorPath, [], { input: '{"type":"hello"}\n', encoding: 'utf8', timeout: LONG });
  try {
    return new Set(JSON.parse(out.stdout.split('\n')[0]).extensions || []);
  } catch {
    return new Set();
  }
})();

/** A test option skipping the test where the executor lacks one of `names`. */
function needs(...names) {
  const missing = names.filter((name) => !extensions.has(name));
  return { skip: missing.length > 0 ? `the executor lacks ${missing.join(', ')}` : false };
}

/** Waits until `check()` is true, polling. */
async function eventually(check, what) {
  const deadline = Date.now() + LONG;
  while (!(await check())) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

module.exports = { extensions, needs, eventually, executorPath, withTimeout, collect, alive, executorChildren, allGone, processesRunning, LONG };
