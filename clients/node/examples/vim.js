'use strict';
// Runs vim on a terminal of its own, types a line, resizes, saves and quits; the screen is
// rendered by @xterm/headless when it is installed, else the raw output is printed.
// Usage: node examples/vim.js [executor path]
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { createClient } = require('..');

let Screen = null;
try {
  Screen = require('@xterm/headless').Terminal;
} catch {
  // no emulator: show the raw output instead
}

const client = createClient({ executorPath: process.argv[2] });
const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'vim-example-')), 'notes.txt');
const screen = Screen && new Screen({ cols: 80, rows: 24, allowProposedApi: true });
const text = () => [...Array(screen.rows).keys()].map((y) => screen.buffer.active.getLine(y).translateToString(true)).join('\n');

const term = client.spawn('vim', ['-u', 'NONE', '-N', file], { cols: 80, rows: 24 });
let raw = '';
term.onData((data) => (screen ? screen.write(data) : (raw += data)));

async function until(wanted) {
  const seen = () => (typeof wanted === 'function' ? wanted() : (screen ? text() : raw).includes(wanted));
  for (let waited = 0; !seen(); waited += 50) {
    if (waited > 20000) throw new Error(`no ${typeof wanted === 'string' ? JSON.stringify(wanted) : 'redraw'} on the screen:\n${screen ? text() : raw}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

(async () => {
  await until('notes.txt');
  term.write('iHello from a terminal of its own.\x1b');
  await until('Hello from');
  term.resize(100, 30); // vim gets SIGWINCH and redraws at the new size
  screen?.resize(100, 30);
  if (screen) await until(() => text().split('\n')[28].startsWith('~')); // redrawn with 30 rows
  term.write(':set columns?\r');
  await until('columns=');
  console.log(screen ? text().trimEnd() : JSON.stringify(raw));
  term.write(':wq\r');
  const { exitCode } = await term.exited;
  console.log(`vim exited with ${exitCode}; the file holds: ${fs.readFileSync(file, 'utf8').trim()}`);
  await client.close();
})().catch((err) => {
  console.error(err.message);
  process.exitCode = 1;
  client.close();
});
