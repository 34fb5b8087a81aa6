'use strict';
// The library's entry points, over a pool of executors.

const { Pool } = require('./pool');
const { Terminal } = require('./terminal');
const { runPipeline } = require('./pipeline');
const { checkString, commandNode, directory, pipelineNode } = require('./request');

/** The executor to start: the option, then $ZELTA_STDIO_EXECUTOR, then `stdio_executor` on PATH. */
function executorPathFrom(options) {
  if (options.executorPath !== undefined) return checkString(options.executorPath, 'executorPath');
  return process.env.ZELTA_STDIO_EXECUTOR || 'stdio_executor';
}

class Client {
  constructor(options = {}) {
    const maxIdle = options.maxIdleExecutors === undefined ? 1 : options.maxIdleExecutors;
    if (!Number.isInteger(maxIdle) || maxIdle < 0) {
      throw new RangeError('maxIdleExecutors must be a non-negative integer');
    }
    this.pool = new Pool(executorPathFrom(options), maxIdle);
    this.terminals = new Set();
  }

  /** Starts `file` with `args` on a terminal of its own, as node-pty's spawn does. */
  spawn(file, args, options) {
    if (typeof args === 'string') throw new TypeError('args as a string is not supported: give an array');
    const command = file === undefined || file === null ? 'sh' : file;
    return this.track(new Terminal(this.pool, commandNode(command, args || []), command, options || {}));
  }

  /** Starts [[command, ...args], ...] joined by pipes on one terminal, as a shell runs a foreground job. */
  spawnPipeline(commands, options) {
    const ast = pipelineNode(commands);
    const last = commands[commands.length - 1][0];
    return this.track(new Terminal(this.pool, ast, last, options || {}, { terminal: { value: true, needs: 'terminal' } }));
  }

  track(terminal) {
    this.terminals.add(terminal);
    terminal.exited.then(
      () => this.terminals.delete(terminal),
      () => this.terminals.delete(terminal),
    );
    return terminal;
  }

  /** Runs [[command, ...args], ...] joined by pipes; resolves to {stdout, stderr, exitCode, signal?}. */
  runPipeline(commands, options = {}) {
    return runPipeline(this.pool, commands, options);
  }

  /** The text of a file (UTF-8); a relative path is taken from the Node process's directory. */
  async readFile(file) {
    const reply = await this.pool.services().request({ type: 'read_file', path: directory(checkString(file, 'path')) });
    return reply.content;
  }

  /** The paths matching the patterns, pattern by pattern, relative ones joined to `cwd`. */
  async glob(patterns, options = {}) {
    const list = typeof patterns === 'string' ? [patterns] : patterns;
    if (!Array.isArray(list)) throw new TypeError('patterns must be a string or an array of strings');
    list.forEach((p, i) => checkString(p, `patterns[${i}]`));
    const reply = await this.pool.services().request({ type: 'glob', patterns: [...list], cwd: directory(options.cwd) });
    return reply.glob_matches;
  }

  /** A path name the executor hands out for process substitution. */
  async processSubstPath() {
    const reply = await this.pool.services().request({ type: 'process_subst' });
    return reply.temp_path;
  }

  /** Closes every terminal and ends every executor; resolves once all have exited. */
  close() {
    // Terminals get SIGHUP and report how they ended before the executors go.
    const closing = [...this.terminals].map((terminal) => terminal.close());
    return Promise.all(closing).then(() => this.pool.close());
  }
}

module.exports = { Client };
