'use strict';
// Building the executor's requests from the library's arguments, checking them first
// so that a mistake is a TypeError here rather than a "Parse error" later.

const path = require('node:path');

function checkString(value, what) {
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string`);
  return value;
}

function checkSize(value, what) {
  if (!Number.isInteger(value) || value < 0 || value > 65535) {
    throw new RangeError(`${what} must be an integer from 0 to 65535`);
  }
  return value;
}

/** {"Command":{...}}: words go to the program as they are, nothing is expanded. */
function commandNode(command, args) {
  checkString(command, 'command');
  if (!Array.isArray(args)) throw new TypeError('args must be an array of strings');
  args.forEach((arg, i) => checkString(arg, `args[${i}]`));
  return {
    Command: {
      name: command,
      args: [...args],
      single_quoted_args: args.map(() => false),
      redirects: [],
    },
  };
}

/** {"Pipeline":{"commands":[...]}} from [[command, ...args], ...]. */
function pipelineNode(commands) {
  if (!Array.isArray(commands) || commands.length === 0) {
    throw new TypeError('a pipeline is a non-empty array of [command, ...args] arrays');
  }
  return {
    Pipeline: {
      commands: commands.map((member, i) => {
        if (!Array.isArray(member) || member.length === 0) {
          throw new TypeError(`pipeline member ${i} must be a non-empty array`);
        }
        return commandNode(member[0], member.slice(1));
      }),
    },
  };
}

/** The variables to set: strings, undefined values left out. */
function envObject(env) {
  if (env === undefined || env === null) return undefined;
  if (typeof env !== 'object') throw new TypeError('env must be an object');
  const out = {};
  for (const [name, value] of Object.entries(env)) {
    if (value !== undefined && value !== null) out[name] = String(value);
  }
  return out;
}

/** Directories are relative to the Node process's current one, as in node:child_process. */
function directory(cwd) {
  if (cwd === undefined || cwd === null) return process.cwd();
  return path.resolve(checkString(cwd, 'cwd'));
}

/** The "run.ast" request of one run. */
function runRequest(runId, ast, options = {}) {
  const request = { type: 'run.ast', run_id: runId, ast, cwd: directory(options.cwd) };
  const env = envObject(options.env);
  if (env) request.env = env;
  if (options.rows !== undefined) request.rows = checkSize(options.rows, 'rows');
  if (options.cols !== undefined) request.cols = checkSize(options.cols, 'cols');
  return request;
}

// run.signal maps every other name to SIGINT; the library refuses them instead.
const SIGNALS = { INT: 'INT', TERM: 'TERM', KILL: 'KILL', SIGINT: 'INT', SIGTERM: 'TERM', SIGKILL: 'KILL' };

function signalName(signal) {
  const name = SIGNALS[signal];
  if (!name) throw new TypeError(`unsupported signal ${String(signal)}: use "INT", "TERM" or "KILL"`);
  return name;
}

module.exports = { checkString, checkSize, commandNode, pipelineNode, envObject, directory, runRequest, signalName };
