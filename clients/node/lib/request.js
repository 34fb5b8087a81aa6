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

// Variables node-pty leaves out of the environment it hands down by default: they
// describe the terminal the Node process runs in, not the new one.
const FOREIGN_TERMINAL_VARIABLES = ['TMUX', 'TMUX_PANE', 'STY', 'WINDOW', 'WINDOWID', 'TERMCAP', 'COLUMNS', 'LINES'];

/**
 * A terminal's whole environment, as node-pty composes it: `env` (default the
 * Node process's own, less the variables of its terminal) replaces the
 * executor's, undefined values are left out, PWD is `cwd` and TERM is `name`,
 * else env's TERM, else "xterm".
 */
function terminalEnv(env, name, cwd) {
  const inherited = env === undefined || env === null;
  const out = envObject(inherited ? process.env : env);
  if (inherited) for (const variable of FOREIGN_TERMINAL_VARIABLES) delete out[variable];
  out.PWD = cwd;
  out.TERM = name || out.TERM || 'xterm';
  return out;
}

module.exports = { checkString, checkSize, commandNode, pipelineNode, envObject, terminalEnv, directory, runRequest };
