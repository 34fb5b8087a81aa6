'use strict';
// The hand-written declarations compile, refuse misuse, and name what index.js exports.

const test = require('node:test');
const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const tsc = path.join(root, 'node_modules/.bin/tsc');

test('a front end written against the declarations type-checks', { skip: fs.existsSync(tsc) ? false : 'npm ci not run' }, () => {
  const args = ['--noEmit', '--strict', '--target', 'es2022', '--module', 'commonjs', '--moduleResolution', 'node', 'test/types/usage.ts'];
  const result = childProcess.spawnSync(tsc, args, { cwd: root, encoding: 'utf8' });
  assert.equal(result.status, 0, result.stdout + result.stderr);
});

test('every value the declarations name is exported, and nothing else', () => {
  const declared = fs.readFileSync(path.join(root, 'index.d.ts'), 'utf8');
  const names = [...declared.matchAll(/^export (?:function|class) (\w+)/gm)].map((m) => m[1]).sort();
  assert.deepEqual(Object.keys(require('..')).sort(), names);
});
