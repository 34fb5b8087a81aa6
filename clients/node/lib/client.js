'use strict';
// The library's entry points, over a pool of executors.

const { Pool } = require('./pool');
const { Terminal } = require('./terminal');
const { checkString, directory, pipelineNode, runRequest } = require('./request');

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

  /** Starts `command` with `args` on a terminal of its own. */
  spawn(command, args = [], options = {}) {
    const terminal = new Terminal(this.pool, command, args, options);
    this.terminals.add(terminal);
    terminal.exited.then(
      () => this.terminals.delete(terminal),
      () => this.terminals.delete(terminal),
    );
    return terminal;
  }

  /** Runs [[command, ...args], ...] joined by pipes; resolves to {stdout, stderr, exitCode}. */
  async runPipeline(commands, options = {}) {
    const executor = this.pool.services();
    const request = runRequest(executor.newRunId(), pipelineNode(commands), options);
    const out = { stdout: '', stderr: '' };
    const exit = await executor.request(request, (event) => {
      if (event.type === 'stdout' || event.type === 'stderr') out[event.type] += event.data;
    });
    return { stdout: out.stdout, stderr: out.stderr, exitCode: exit.exit_code };
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
    for (const terminal of this.terminals) terminal.close();
    return this.pool.close();
  }
}

module.exports = { Client };
