'use strict';
// A command running on a terminal of its own, served by an executor of its own.

const { checkSize, commandNode, runRequest, signalName } = require('./request');

class Listeners {
  constructor() {
    this.set = new Set();
  }
  add(listener) {
    if (typeof listener !== 'function') throw new TypeError('listener must be a function');
    this.set.add(listener);
    return { dispose: () => this.set.delete(listener) };
  }
  emit(value) {
    for (const listener of [...this.set]) listener(value);
  }
}

// Hanging up a terminal sends its command SIGHUP; a terminal closed while its
// command runs reports that.
const SIGHUP = 1;

/** The exit code 128 + n of a run ended by signal n carries n as `signal`. */
function exitInfo(exitCode) {
  return exitCode > 128 && exitCode <= 128 + 64 ? { exitCode, signal: exitCode - 128 } : { exitCode };
}

function settled(promise) {
  promise.catch(() => {}); // rejections are for those who wait; nobody waiting is no crash
  return promise;
}

class Terminal {
  constructor(pool, command, args, options) {
    const ast = commandNode(command, args);
    this.rows = options.rows === undefined ? 24 : checkSize(options.rows, 'rows');
    this.cols = options.cols === undefined ? 80 : checkSize(options.cols, 'cols');
    this.process = command;
    this.pid = undefined;
    this.executorPid = undefined;
    this.state = 'starting'; // starting | running | exited | failed | closed
    this.pending = []; // control requests written once the command has started
    this.decoder = new TextDecoder('utf-8');
    this.dataListeners = new Listeners();
    this.exitListeners = new Listeners();
    this.errorListeners = new Listeners();
    this.pool = pool;
    this.executor = pool.acquire();
    this.runId = this.executor.newRunId();
    const request = runRequest(this.runId, ast, { ...options, rows: this.rows, cols: this.cols });
    let started;
    let failed;
    this.ready = settled(
      new Promise((resolve, reject) => {
        started = resolve;
        failed = reject;
      }),
    );
    this.failReady = failed;
    this.exited = settled(
      this.executor
        .request(request, (event) => this.onEvent(event, started))
        .then(
          (exit) => this.finish(exitInfo(exit.exit_code)),
          (err) => {
            if (this.state === 'closed') return this.finish({ exitCode: 128 + SIGHUP, signal: SIGHUP });
            this.state = 'failed';
            this.pending = [];
            failed(err);
            this.pool.release(this.executor);
            this.errorListeners.emit(err);
            throw err;
          },
        ),
    );
  }

  onData(listener) {
    return this.dataListeners.add(listener);
  }

  onExit(listener) {
    return this.exitListeners.add(listener);
  }

  onError(listener) {
    return this.errorListeners.add(listener);
  }

  /** Types text into the terminal: control characters act as keys ("\x03" is Ctrl-C). */
  write(data) {
    let text;
    if (typeof data === 'string') text = data;
    else if (data instanceof Uint8Array) text = this.decoder.decode(data, { stream: true });
    else throw new TypeError('data must be a string or a Uint8Array');
    if (text.length > 0) this.control({ type: 'stdin.write', data: text });
    else this.checkLive();
  }

  /** Sets the terminal's size; the command gets SIGWINCH. */
  resize(cols, rows) {
    checkSize(cols, 'cols');
    checkSize(rows, 'rows');
    this.control({ type: 'run.resize', rows, cols });
    this.cols = cols;
    this.rows = rows;
  }

  /** Signals the command's process: "INT", "TERM" (the default) or "KILL". */
  kill(signal = 'TERM') {
    this.control({ type: 'run.signal', signal: signalName(signal) });
  }

  /**
   * Ends the terminal and its executor. A command still running gets SIGHUP as its
   * terminal hangs up, and the exit is reported as 129. Resolves once the executor is gone.
   */
  close() {
    if (this.state === 'starting' || this.state === 'running') {
      this.state = 'closed';
      this.pending = [];
      this.executor.kill();
      return this.executor.exited;
    }
    return Promise.resolve();
  }

  checkLive() {
    if (this.state !== 'starting' && this.state !== 'running') {
      throw new Error(`terminal ${this.runId} (${this.process}) has ${this.state === 'failed' ? 'failed' : 'exited'}`);
    }
  }

  control(request) {
    this.checkLive();
    const line = { type: request.type, run_id: this.runId, ...request };
    if (this.state === 'starting') this.pending.push(line);
    else this.executor.send(line);
  }

  onEvent(event, started) {
    if (event.type === 'started') {
      if (this.state !== 'starting') return;
      this.state = 'running';
      this.pid = event.child_pid;
      this.executorPid = event.backend_pid;
      // Control requests count only once the run has started; those made earlier go now.
      for (const line of this.pending) this.executor.send(line);
      this.pending = [];
      started();
    } else if (event.type === 'stdout' && typeof event.data === 'string') {
      this.dataListeners.emit(event.data);
    }
  }

  finish(info) {
    if (this.state === 'closed' && this.pid === undefined) {
      this.failReady(new Error(`terminal ${this.runId} (${this.process}) was closed before it started`));
    }
    this.state = this.state === 'closed' ? 'closed' : 'exited';
    this.pending = [];
    this.pool.release(this.executor);
    this.exitListeners.emit(info);
    return info;
  }
}

module.exports = { Terminal, exitInfo };
