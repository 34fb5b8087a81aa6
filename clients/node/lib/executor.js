'use strict';
// One executor process: its pipes, the line protocol, and the requests it is serving.

const childProcess = require('node:child_process');
const fs = require('node:fs');

// Control requests answered "Unknown: <type>" when they reach an executor after
// their run has ended; such replies answer nobody and are dropped.
// How long a closed executor may take to end its command before it is killed.
const KILL_GRACE_MS = 5000;

const STRAY_CONTROL_REPLY =
  /^Unknown: (stdin\.write|run\.signal|run\.resize|stream\.flush|run\.pause|run\.resume|run\.foreground)$/;

// The executor-wide extensions the library switches on in every executor it starts.
const WANTED_EXTENSIONS = ['env', 'exit_signal', 'signals'];

// Asked for, besides those, by the executor shared by pipelines and the file
// services: runs then go on side by side while the executor serves other requests.
const CONCURRENT = 'concurrent';

// The descriptor number the executor finds its terminal under: a pseudo-terminal
// master the library opened and keeps a copy of, to read and write it itself.
const TERMINAL_FD = 3;

/**
 * A fresh pseudo-terminal master, non-blocking (the library never waits on it:
 * output is read as it comes, typed input that does not fit is retried), or
 * null where none can be had (no /dev/ptmx, every terminal in use).
 */
function openMaster() {
  try {
    const { O_RDWR, O_NOCTTY, O_NONBLOCK } = fs.constants;
    return fs.openSync('/dev/ptmx', O_RDWR | O_NOCTTY | O_NONBLOCK);
  } catch {
    return null;
  }
}

function closeFd(fd) {
  try {
    fs.closeSync(fd);
  } catch {
    // already closed
  }
}

// A run's output with "raw_output": {"base64":"...","run_id":"...","type":"stdout"},
// keys in ascending byte order as every event has them. Nearly every line of a
// terminal run is one; it is taken apart without the general parser.
const RAW_OUTPUT_START = '{"base64":"';
const RAW_OUTPUT_END = /^","run_id":"([^"\\]*)","type":"(stdout|stderr)"\}$/;

/** The message on `line`; throws as JSON.parse does on anything else. */
function parseLine(line) {
  if (line.startsWith(RAW_OUTPUT_START)) {
    const quote = line.indexOf('"', RAW_OUTPUT_START.length);
    const escape = line.indexOf('\\', RAW_OUTPUT_START.length);
    const rest = quote !== -1 && (escape === -1 || escape > quote) && RAW_OUTPUT_END.exec(line.slice(quote));
    if (rest) return { base64: line.slice(RAW_OUTPUT_START.length, quote), run_id: rest[1], type: rest[2] };
  }
  return JSON.parse(line);
}

class ExecutorError extends Error {
  constructor(message) {
    super(message);
    this.name = 'ExecutorError';
  }
}

// A request in flight. `onEvent` sees every event carrying its run id; `finish`
// is called once, with (error, result), on its reply or its "exit" event.
class Pending {
  constructor(request, onEvent, finish) {
    this.request = request;
    this.runId = request.run_id;
    this.isRun = request.type === 'run.ast';
    this.onEvent = onEvent;
    this.finish = finish;
    this.received = false; // "recv" seen: stray control replies can no longer come before it
    // With runs side by side: the run can no longer get an error reply (it has
    // an event besides "recv", or a later request has had an answer).
    this.settled = false;
  }
}

class Executor {
  /**
   * Starts `path` with pipes on stdin and stdout, in a session of its own so
   * that signals aimed at the Node process's terminal do not reach it.
   * `onGone(executor)` is called once when the process has ended. With
   * `terminal`, it also gets a pseudo-terminal master as descriptor 3, for a
   * terminal run whose output the library reads itself (see takeMaster()).
   * With `concurrent`, "hello" also asks for runs side by side.
   */
  constructor(path, onGone, { terminal = false, concurrent = false } = {}) {
    this.path = path;
    this.queue = []; // Pending, in the order their requests were written
    this.concurrent = false; // "concurrent" is on: runs go on side by side
    this.claims = 0; // runs promised a place here whose requests are not written yet
    this.alive = true;
    this.ended = false; // the process has exited and its output has been read
    this.nextRun = 0;
    this.pieces = []; // a line still waiting for its line feed, in the chunks it came in
    this.readEnd = []; // called once the lines of the current read have been dispatched
    this.referenced = true;
    // The library's copy of the executor's descriptor 3: until a run takes it,
    // the executor's to close; null when there is none (or no longer).
    this.master = terminal ? openMaster() : null;
    this.masterUsed = false; // a run has taken it: the executor cannot serve another such run
    const stdio = ['pipe', 'pipe', 'ignore'];
    if (this.master !== null) stdio[TERMINAL_FD] = this.master;
    try {
      this.child = childProcess.spawn(path, [], { stdio, detached: true, cwd: process.cwd() });
    } catch (err) {
      this.dropMaster();
      throw err;
    }
    this.pid = this.child.pid;
    this.exited = new Promise((resolve) => {
      const gone = (err) => {
        if (this.ended) return;
        this.ended = true;
        this.alive = false;
        this.dropMaster();
        this.endError = err;
        this.failAll(err);
        if (onGone) onGone(this);
        resolve();
      };
      // 'close' comes after 'exit' and after stdout has ended, so every line has been seen.
      this.child.on('close', () => gone(new ExecutorError(`executor ${this.path} ended`)));
      this.child.on('error', (err) => {
        if (this.child.pid !== undefined) return; // a failed kill or write; 'close' follows
        gone(new ExecutorError(`cannot start executor ${this.path}: ${err.message}`));
      });
    });
    this.child.stdin.on('error', () => {}); // a dead executor's stdin: 'close' reports it
    this.child.stdout.setEncoding('utf8');
    this.child.stdout.on('data', (text) => this.receive(text));
    // The extensions this executor has, an empty set for one that predates "hello".
    // Requests written meanwhile are served after the answer, in order.
    this.extensions = null;
    this.answered = false; // "hello" had a reply (an error one included)
    const wanted = concurrent ? [...WANTED_EXTENSIONS, CONCURRENT] : WANTED_EXTENSIONS;
    this.hello = new Promise((resolve) => {
      // Taken in as the reply is dispatched, not a tick later: how the next
      // lines of the same read are matched depends on "concurrent".
      this.request({ type: 'hello', extensions: wanted }, undefined, (err, reply) => {
        this.answered = !this.ended; // not a failure for want of the process
        this.extensions = new Set(!err && Array.isArray(reply.extensions) ? reply.extensions : []);
        this.concurrent = concurrent && this.extensions.has(CONCURRENT);
        // An executor that cannot run on it: nobody will ever use it.
        if (!this.extensions.has('terminal_fd')) this.dropMaster();
        resolve(this.extensions);
      });
    });
  }

  /**
   * The pseudo-terminal master this executor has as descriptor 3, handed over
   * to the caller (who closes it) for one run with "terminal_fd"; null where
   * there is none to use. Known only once "hello" is answered.
   */
  takeMaster() {
    if (this.master === null || !this.has('terminal_fd') || !this.alive) return null;
    const fd = this.master;
    this.master = null;
    this.masterUsed = true;
    return fd;
  }

  dropMaster() {
    if (this.master === null) return;
    closeFd(this.master);
    this.master = null;
  }

  /** Whether the executor has the extension `name`; false until "hello" is answered. */
  has(name) {
    return this.extensions !== null && this.extensions.has(name);
  }

  /** A run id unique within this executor. */
  newRunId() {
    this.nextRun += 1;
    return `r${this.nextRun}`;
  }

  get busy() {
    return this.queue.length > 0;
  }

  /** Keeps the Node process alive while the executor serves something, and not otherwise. */
  setReferenced(on) {
    if (on === this.referenced || !this.alive) return;
    this.referenced = on;
    for (const handle of [this.child, this.child.stdin, this.child.stdout]) {
      if (on) handle.ref?.();
      else handle.unref?.();
    }
  }

  /**
   * Writes a request that gets a reply or a run's "exit". Resolves with the
   * reply (or the exit event), rejects with the executor's error text.
   */
  request(request, onEvent = () => {}, done = undefined) {
    return new Promise((resolve, reject) => {
      const finish = done || ((err, result) => (err ? reject(err) : resolve(result)));
      if (!this.alive) {
        finish(this.endError || new ExecutorError(`executor ${this.path} has ended`), null);
        return;
      }
      if (request.type === 'run.ast') {
        if (this.claims > 0) this.claims -= 1;
      } else if (this.concurrent && this.queue.some((p) => p.isRun && !p.settled)) {
        // An error reply to this request could not be told from the error reply
        // of a run started before it: a "hello" first, whose answer cannot be
        // an error, marks where the runs' replies end.
        this.queue.push(new Pending({ type: 'hello' }, () => {}, () => {}));
        this.send({ type: 'hello' });
      }
      this.queue.push(new Pending(request, onEvent, finish));
      this.setReferenced(true);
      this.send(request);
    });
  }

  /** Runs in progress or promised a place (see claims). */
  get runs() {
    let count = this.claims;
    for (const pending of this.queue) if (pending.isRun) count += 1;
    return count;
  }

  /** Writes a control request, which gets no reply. */
  send(request) {
    return this.sendLine(JSON.stringify(request) + '\n');
  }

  /** Writes a request already serialised, its line feed included. */
  sendLine(line) {
    if (!this.alive) return false;
    this.child.stdin.write(line);
    return true;
  }

  /**
   * Calls `fn` once the lines of the read being dispatched have all been
   * dispatched, so that what one read brought can be handed out as one piece.
   */
  atReadEnd(fn) {
    this.readEnd.push(fn);
  }

  /** Ends the executor gently: it exits once idle. */
  closeInput() {
    if (this.alive && !this.child.stdin.destroyed) this.child.stdin.end();
  }

  /**
   * Ends the executor now by closing its pipes: it ends what it runs (a terminal
   * hangs up and its command gets SIGHUP; pipeline members, which have sessions of
   * their own and would outlive a killed executor, are killed) and exits. SIGKILL
   * follows only if it is still there after a grace period.
   */
  kill() {
    this.closeInput();
    if (this.ended) return;
    this.child.stdout.destroy();
    const timer = setTimeout(() => {
      try {
        this.child.kill('SIGKILL');
      } catch {
        // already gone
      }
    }, KILL_GRACE_MS);
    timer.unref();
    this.exited.then(() => clearTimeout(timer));
  }

  receive(text) {
    // A long line arrives in many chunks: keep them apart until its line feed
    // comes, so each byte is scanned once and the line joined once.
    const feed = text.indexOf('\n');
    this.pieces.push(text);
    if (feed === -1) return;
    const buffer = this.pieces.join('');
    this.pieces = [];
    let start = 0;
    for (let end = buffer.length - text.length + feed; end !== -1; end = buffer.indexOf('\n', start)) {
      const line = buffer.slice(start, end);
      start = end + 1;
      let message;
      try {
        message = parseLine(line);
      } catch {
        continue; // the executor writes only JSON lines; anything else is noise
      }
      this.dispatch(message);
    }
    if (start < buffer.length) this.pieces.push(buffer.slice(start));
    // Handed out here rather than on a later tick: the stream's own
    // bookkeeping runs before any deferred callback and would delay them.
    for (let i = 0; i < this.readEnd.length; i += 1) this.readEnd[i]();
    this.readEnd.length = 0;
  }

  dispatch(message) {
    if (typeof message !== 'object' || message === null) return;
    if (typeof message.type === 'string') {
      const pending = this.queue.find((p) => p.runId === message.run_id);
      if (!pending) return;
      if (message.type === 'recv') {
        pending.received = true;
        // Everything an earlier request produces at once comes before this.
        if (this.concurrent) for (let i = 0; this.queue[i] !== pending; i += 1) this.queue[i].settled = true;
      } else {
        pending.settled = true;
      }
      if (message.type === 'exit') {
        this.complete(pending, null, message);
      } else {
        pending.onEvent(message);
      }
      return;
    }
    if (this.concurrent) {
      this.dispatchReply(message);
      return;
    }
    // A reply answers the oldest request still waiting.
    const head = this.queue[0];
    if (message.exit_code === 1 && typeof message.error === 'string') {
      if (!head || (!head.received && STRAY_CONTROL_REPLY.test(message.error))) return;
      this.complete(head, new ExecutorError(message.error), null);
      return;
    }
    if (head) this.complete(head, null, message);
  }

  /**
   * With runs side by side, a reply answers the oldest request still waiting
   * for one: a request other than a run, or a run that may still be refused.
   * A run gets no reply but an error one, so any other reply comes after
   * everything the runs before it produced at once.
   */
  dispatchReply(message) {
    const error = message.exit_code === 1 && typeof message.error === 'string';
    for (const pending of this.queue) {
      if (pending.isRun) {
        if (pending.settled || !pending.received) continue;
        if (!error) {
          pending.settled = true;
          continue;
        }
      }
      this.complete(pending, error ? new ExecutorError(message.error) : null, error ? null : message);
      return;
    }
  }

  complete(pending, err, result) {
    const index = this.queue.indexOf(pending);
    if (index !== -1) this.queue.splice(index, 1);
    if (this.queue.length === 0) this.setReferenced(false);
    pending.finish(err, result);
  }

  failAll(err) {
    const queue = this.queue;
    this.queue = [];
    for (const pending of queue) pending.finish(err, null);
  }
}

module.exports = { Executor, ExecutorError, parseLine, TERMINAL_FD, closeFd };
