'use strict';
// The vim example runs to its end: typed text saved, the screen rendered after a resize.

const test = require('node:test');
const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const path = require('node:path');
const { executorPath } = require('./support');

test('examples/vim.js edits, resizes, saves and quits', { skip: childProcess.spawnSync('vim', ['--version']).status === 0 ? false : 'no vim' }, () => {
  const out = childProcess.execFileSync(process.execPath, [path.join(__dirname, '../examples/vim.js'), executorPath], { encoding: 'utf8', timeout: 60000 });
  assert.match(out, /^Hello from a terminal of its own\.\s*$/m);
  assert.match(out, /^  columns=100$/m, 'vim redrew at the new size');
  assert.match(out, /vim exited with 0; the file holds: Hello from a terminal of its own\.\n$/);
});
