'use strict';
// A command (or a pipeline) running on a terminal of its own, with the members
// and behaviour of node-pty's IPty. A command is served by an executor of its
// own; a pipeline by the executor shared with the file services where that
// executor runs requests side by side, else by one of its own too.

const fs = require('node:fs');
const tty = require('node:tty');
const { StringDecoder } = require('node:string_decoder');
const { Listeners } = require('./listeners');
const { BASIC, signalName, signalNumber } = require('./signals');
const { checkSize, terminalEnv, directory } = require('./request');
const { ExecutorError, TERMINAL_FD, closeFd } = require('./executor');

const DEFAULT_COLS = 80;
const DEFAULT_ROWS = 24;
const FLOW_CONTROL_PAUSE = '\x13'; // XOFF
const FLOW_CONTROL_RESUME = '\x11'; // XON
// How long close() lets the command end on SIGHUP, then on SIGKILL, before it
// ends the executor itself.
const CLOSE_GRACE_MS = 3000;
// The foreground process is asked for at most this often through `process`.
const FOREGROUND_REFRESH_MS = 100;
// Output asks for it again only this long after it came: the question would
// otherwise reach the executor just as the rest of a keystroke's echo does.
const FOREGROUND_AFTER_OUTPUT_MS = 20;
// Typed input the terminal has no room for is tried again this often.
const WRITE_RETRY_MS = 5;
// The most read at once from a terminal whose stream has ended.
const READ_REST_BYTES = 65536;

function settled(promise) {
  promise.catch(() => {}); // rejections are for those who wait; nobody waiting is no crash
  return promise;
}

function checkOptions(options) {
  if (options === null || typeof options !== 'object') throw new TypeError('options must be an object');
  const types = { name: 'string', cwd: 'string', env: 'object', encoding: 'string' };
  for (const [key, type] of Object.entries(types)) {
    const value = options[key];
    if (value !== undefined && value !== null && typeof value !== type) throw new TypeError(`${key} must be a ${type}`);
  }
  if (typeof options.encoding === 'string' && !Buffer.isEncoding(options.encoding)) {
    throw new TypeError(`unknown encoding ${options.encoding}`);
  }
  for (const key of ['uid', 'gid']) {
    // Commands run as the executor's user; switching users is not offered.
    if (options[key] !== undefined && options[key] !== null) throw new TypeError(`the ${key} option is not supported`);
  }
  for (const key of ['flowControlPause', 'flowControlResume']) {
    if (options[key] !== undefined && typeof options[key] !== 'string') throw new TypeError(`${key} must be a string`);
  }
}

/** The size given, or the default for 0 and absent (as node-pty does). */
function sizeOption(value, fallback, what) {
  if (value === undefined || value === null || value === 0) return fallback;
  return checkSize(value, what);
}

function checkResize(value, what) {
  if (!Number.isInteger(value) || value <= 0 || value > 65535) {
    throw new RangeError(`${what} must be an integer from 1 to 65535`);
  }
}

/** {exitCode, signal} as node-pty reports it from an "exit" event. */
function exitInfo(event) {
  if (typeof event.signal === 'string') return { exitCode: 0, signal: signalNumber(event.signal) };
  return { exitCode: event.exit_code, signal: 0 };
}

// Output that is plain ASCII, by far the most common (keystroke echoes, prompts),
// is decoded here rather than through Buffer and StringDecoder: after the pause
// between keystrokes, those native calls cost a large share of an echo's way to onData.
const BASE64_VALUES = new Int8Array(128).fill(-1);
for (let i = 0; i < 64; i += 1) {
  BASE64_VALUES['ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/'.charCodeAt(i)] = i;
}
// Longer output goes the native way, which is faster once warm.
const ASCII_PATH_MAX = 256;

/** The text of `base64` when it is canonical and every byte it holds is ASCII; null otherwise. */
function asciiFromBase64(base64) {
  const length = base64.length;
  if (length % 4 !== 0 || length > ASCII_PATH_MAX) return null;
  let text = '';
  for (let i = 0; i < length; i += 4) {
    const last = i + 4 === length;
    const c1 = base64.charCodeAt(i);
    const c2 = base64.charCodeAt(i + 1);
    const c3 = base64.charCodeAt(i + 2);
    const c4 = base64.charCodeAt(i + 3);
    if ((c1 | c2 | c3 | c4) > 127) return null;
    const pad3 = last && c3 === 61 && c4 === 61; // "xx==": one byte
    const pad4 = last && c4 === 61; // "xxx=": two bytes
    const a = BASE64_VALUES[c1];
    const b = BASE64_VALUES[c2];
    const c = pad3 ? 0 : BASE64_VALUES[c3];
    const d = pad4 ? 0 : BASE64_VALUES[c4];
    // Characters outside the alphabet (padding before the end among them) are -1.
    if ((a | b | c | d) < 0) return null;
    const bits = (a << 18) | (b << 12) | (c << 6) | d;
    // A set high bit is not ASCII; padding over bits that are not zero is not canonical.
    if ((bits & 0x808080) !== 0 || (pad3 && (bits & 0xffff) !== 0) || (pad4 && (bits & 0xff) !== 0)) return null;
    text += String.fromCharCode(bits >> 16);
    if (!pad3) text += String.fromCharCode((bits >> 8) & 0xff);
    if (!pad4) text += String.fromCharCode(bits & 0xff);
  }
  return text;
}

class Terminal {
  /**
   * `ast` is the command or pipeline tree, `file` the name `process` falls back
   * on; `extra` holds run.ast keys the run needs (`terminal` for a pipeline).
   */
  constructor(pool, ast, file, options, extra = {}) {
    checkOptions(options);
    this._cols = sizeOption(options.cols, DEFAULT_COLS, 'cols');
    this._rows = sizeOption(options.rows, DEFAULT_ROWS, 'rows');
    this._file = file;
    this._process = file;
    this.handleFlowControl = Boolean(options.handleFlowControl);
    this._flowControlPause = options.flowControlPause || FLOW_CONTROL_PAUSE;
    this._flowControlResume = options.flowControlResume || FLOW_CONTROL_RESUME;
    this.encoding = options.encoding === undefined ? 'utf8' : options.encoding;
    this.decoder = this.encoding === null ? null : new StringDecoder(this.encoding);
    // ASCII output may skip the decoder while it holds no part of a character.
    this.asciiPath = this.decoder !== null && ['utf8', 'utf-8'].includes(this.encoding.toLowerCase());
    this.decoderHolds = false;
    this.inputDecoder = new TextDecoder('utf-8'); // bytes typed into an executor without raw input
    this.pid = undefined;
    this.executorPid = undefined;
    this.state = 'starting'; // starting | running | exited | failed
    this.hungUp = false; // the library ended the executor to end the command
    this.pending = []; // control lines sent once the command has started
    this.paused = false;
    this.held = []; // output (and the exit) that came while paused
    this.batch = []; // output bytes of the current read, handed out at its end
    this.batchText = ''; // or its text, while all of it has been ASCII
    this.flush = () => this.flushOutput();
    this.foregroundWaiters = [];
    this.foregroundAsked = 0;
    this.processRead = false; // `process` has been read: output keeps it fresh from then on
    this.foregroundTimer = null;
    this.dataListeners = new Listeners();
    this.exitListeners = new Listeners();
    this.errorListeners = new Listeners();
    this.legacy = new Map(); // on('data' | 'exit' | 'error', fn) -> its disposable
    // On an executor with "terminal_fd", a single command runs on a terminal
    // whose master the library holds: its output is read here and typed input
    // written here, the executor only starting and supervising the command.
    this.masterFd = null; // that master, once taken from the executor; closed at the end
    this.master = null; // the stream reading it, from the start of the command on
    this.unwritten = []; // typed input the terminal had no room for yet
    this.writeTimer = null;
    this.fromMaster = (bytes) => this.hand(this.decoder ? this.decoder.write(bytes) : bytes);
    this.pool = pool;
    this.shared = false; // the executor serves other runs too: it is never ended for this one
    this.executor = null;
    this.runId = null;
    let leased;
    if (Object.keys(extra).length === 0) {
      this.use(pool.acquire());
      leased = Promise.resolve();
    } else {
      leased = pool.lease().then(({ executor, shared }) => {
        this.shared = shared;
        this.use(executor);
      });
    }
    const cwd = directory(options.cwd);
    const env = terminalEnv(options.env, options.name, cwd);
    let started;
    let failed;
    this.ready = settled(
      new Promise((resolve, reject) => {
        started = resolve;
        failed = reject;
      }),
    );
    this.started = started;
    this.exited = settled(
      leased
        .then(() => this.executor.hello)
        .then(() => {
          const request = { type: 'run.ast', run_id: this.runId, ast, cwd, env, rows: this._rows, cols: this._cols };
          if (this.executor.has('env')) request.env_clear = true;
          if (Object.keys(extra).length === 0) this.masterFd = this.executor.takeMaster();
          if (this.masterFd !== null) request.terminal_fd = TERMINAL_FD;
          else if (this.executor.has('raw_output')) request.raw_output = true;
          for (const [key, { value, needs }] of Object.entries(extra)) {
            if (!this.executor.has(needs)) {
              throw new ExecutorError(`this executor cannot do that: it lacks the "${needs}" extension`);
            }
            request[key] = value;
          }
          return this.executor.request(request, (event) => this.onEvent(event));
        })
        .then(
          (exit) => this.finish(exitInfo(exit)),
          (err) => {
            if (this.hungUp) return this.finish({ exitCode: 0, signal: signalNumber('HUP') });
            this.state = 'failed';
            this.pending = [];
            this.closeMaster();
            failed(err);
            if (this.executor !== null) this.pool.release(this.executor);
            this.errorListeners.emit(err);
            throw err;
          },
        ),
    );
  }

  /** Takes `executor` to serve the run. */
  use(executor) {
    this.executor = executor;
    this.runId = executor.newRunId();
    // The start of every "stdin.write" line of typed text, the same bytes
    // JSON.stringify gives the whole request: only the text is serialised per keystroke.
    this.inputPrefix = `{"type":"stdin.write","run_id":${JSON.stringify(this.runId)},"data":`;
  }

  get cols() {
    return this._cols;
  }

  get rows() {
    return this._rows;
  }

  /** The program in the terminal's foreground, as last reported; asks for a fresh answer. */
  get process() {
    this.processRead = true;
    if (Date.now() - this.foregroundAsked >= FOREGROUND_REFRESH_MS) this.foreground();
    return this._process;
  }

  /** The foreground process group's leader: {pid, name, cwd}, or null where it cannot be told. */
  foreground() {
    if (this.state !== 'running' || !this.executor.has('foreground')) return Promise.resolve(null);
    this.foregroundAsked = Date.now();
    return new Promise((resolve) => {
      this.foregroundWaiters.push(resolve);
      this.sendControl({ type: 'run.foreground', run_id: this.runId });
    });
  }

  onData(listener) {
    return this.dataListeners.add(listener);
  }

  onExit(listener) {
    return this.exitListeners.add(listener);
  }

  /** The run was refused or its executor ended; `onExit` is not called then. */
  onError(listener) {
    return this.errorListeners.add(listener);
  }

  /** The older event form: on('data', fn), on('exit', (exitCode, signal) => ...), on('error', fn). */
  on(event, listener) {
    const add = {
      data: () => this.onData(listener),
      exit: () => this.onExit(({ exitCode, signal }) => listener(exitCode, signal)),
      error: () => this.onError(listener),
    }[event];
    if (!add) throw new TypeError(`unknown event ${String(event)}`);
    if (!this.legacy.has(event)) this.legacy.set(event, new Map());
    this.legacy.get(event).set(listener, add());
    return this;
  }

  addListener(event, listener) {
    return this.on(event, listener);
  }

  once(event, listener) {
    const once = (...args) => {
      this.removeListener(event, once);
      listener(...args);
    };
    return this.on(event, once);
  }

  removeListener(event, listener) {
    const disposable = this.legacy.get(event)?.get(listener);
    if (disposable) {
      disposable.dispose();
      this.legacy.get(event).delete(listener);
    }
    return this;
  }

  off(event, listener) {
    return this.removeListener(event, listener);
  }

  get live() {
    return this.state === 'starting' || this.state === 'running';
  }

  /** Types into the terminal: strings as UTF-8, bytes exactly. Ignored once the command has ended. */
  write(data) {
    // Typed text on a running terminal, the common case, goes straight out.
    if (typeof data === 'string' && this.state === 'running' && !this.handleFlowControl && data.length > 0) {
      if (this.masterFd !== null) this.writeMaster(data);
      else this.executor.sendLine(this.inputPrefix + JSON.stringify(data) + '}\n');
      return undefined;
    }
    if (typeof data !== 'string' && !(data instanceof Uint8Array)) {
      throw new TypeError('data must be a string or a Uint8Array');
    }
    if (this.handleFlowControl && typeof data === 'string') {
      if (data === this._flowControlPause) return this.pause();
      if (data === this._flowControlResume) return this.resume();
    }
    if (!this.live || data.length === 0) return undefined;
    this.control({ type: 'stdin.write', input: data });
    return undefined;
  }

  /** Sets the terminal size; the command gets SIGWINCH. Ignored once the command has ended. */
  resize(cols, rows) {
    checkResize(cols, 'cols');
    checkResize(rows, 'rows');
    if (!this.live) return;
    this.control({ type: 'run.resize', rows, cols });
    this._cols = cols;
    this._rows = rows;
  }

  /** Sends a signal (name or number, default SIGHUP) to the command. Ignored once it has ended. */
  kill(signal = 'SIGHUP') {
    const name = signalName(signal);
    if (!name) throw new TypeError(`unknown signal ${String(signal)}`);
    if (!this.live) return;
    if (this.state === 'running' && !this.sendable(name)) {
      if (name === 'HUP') {
        this.hangUp(); // an executor without "signals" hangs the terminal up instead
        return;
      }
      throw new Error(`this executor sends only SIGINT, SIGTERM and SIGKILL, not SIG${name}`);
    }
    this.control({ type: 'run.signal', signal: name });
  }

  sendable(name) {
    return BASIC.has(name) || this.executor.has('signals');
  }

  /** Stops reading the command's output: it blocks once the terminal's buffer is full. */
  pause() {
    if (this.paused) return;
    this.paused = true;
    if (this.master !== null) this.master.pause();
    else if (this.live) this.control({ type: 'run.pause' });
  }

  /** Reads the command's output again, first handing out what came while paused. */
  resume() {
    if (!this.paused) return;
    this.paused = false;
    while (!this.paused && this.held.length > 0) {
      const next = this.held.shift();
      if (next.exit) this.deliverExit(next.exit);
      else this.dataListeners.emit(next.data);
    }
    if (this.master !== null) {
      if (!this.paused) this.master.resume();
    } else if (this.live) {
      this.control({ type: 'run.resume' });
    }
  }

  /** Nothing to do on a Unix terminal (node-pty does nothing either). */
  clear() {}

  /**
   * Ends the command: SIGHUP, then SIGKILL if it is still there after a grace
   * period, then its executor. Resolves with the command's real exit once reported.
   */
  close() {
    if (!this.closing) this.closing = this.end();
    return this.closing;
  }

  /** node-pty's name for close(), without the promise. */
  destroy() {
    this.close();
  }

  async end() {
    if (this.state === 'starting') {
      await Promise.race([this.ready, this.exited]).catch(() => {});
    }
    if (this.state === 'running' && this.executor.has('signals')) {
      for (const signal of ['HUP', 'KILL']) {
        this.sendControl({ type: 'run.signal', run_id: this.runId, signal });
        this.readWhilePaused();
        if (await this.exitWithin(CLOSE_GRACE_MS)) return this.exited.catch(() => undefined);
      }
    }
    if (this.live) this.hangUp();
    return this.exited.catch(() => undefined);
  }

  /**
   * While closing, reads a paused terminal again (the output still held for
   * resume()): the exit of a command that has ended is reported only once
   * its output has been read.
   */
  readWhilePaused() {
    if (!this.paused || this.readingWhilePaused) return;
    this.readingWhilePaused = true;
    if (this.master !== null) this.master.resume();
    else if (this.live && this.executor.has('pause')) this.executor.send({ type: 'run.resume', run_id: this.runId });
  }

  exitWithin(ms) {
    let timer;
    const timeout = new Promise((resolve) => {
      timer = setTimeout(() => resolve(false), ms);
    });
    const ended = this.exited.then(
      () => true,
      () => true,
    );
    return Promise.race([ended, timeout]).finally(() => clearTimeout(timer));
  }

  /**
   * Ends the executor, which hangs up the terminal: the command's session gets
   * SIGHUP. The shared executor, which serves other runs, kills the job instead.
   */
  hangUp() {
    this.pending = [];
    if (this.shared) {
      this.executor.send({ type: 'run.signal', run_id: this.runId, signal: 'KILL' });
      return;
    }
    this.hungUp = true;
    if (this.executor !== null) this.executor.kill();
  }

  control(request) {
    // The run id is known only once an executor is chosen: added as it is sent.
    if (this.state === 'starting') this.pending.push(request);
    else this.sendControl({ ...request, run_id: this.runId });
  }

  sendControl(line) {
    if (line.type === 'stdin.write') {
      const { input, ...rest } = line;
      if (this.masterFd !== null) {
        this.writeMaster(input);
        return;
      }
      if (typeof input === 'string') {
        this.executor.sendLine(this.inputPrefix + JSON.stringify(input) + '}\n');
        return;
      }
      if (this.executor.has('raw_output')) rest.base64 = Buffer.from(input.buffer, input.byteOffset, input.byteLength).toString('base64');
      else rest.data = this.inputDecoder.decode(input, { stream: true });
      line = rest;
    } else if (line.type === 'run.signal' && !this.sendable(line.signal)) {
      // Asked for before the executor's extensions were known: as kill() does then.
      if (line.signal === 'HUP') this.hangUp();
      return;
    } else if (line.type === 'run.pause' || line.type === 'run.resume') {
      // Without "pause" output is still held back here, without slowing the
      // command down; on a terminal read here, not reading is the pause.
      if (!this.executor.has('pause') || this.masterFd !== null) return;
    }
    this.executor.send(line);
  }

  onEvent(event) {
    switch (event.type) {
      case 'started':
        if (this.state !== 'starting') return;
        this.state = 'running';
        this.pid = event.child_pid;
        this.executorPid = event.backend_pid;
        // Read only now: before the command has its terminal, reading fails.
        if (this.masterFd !== null) this.readMaster();
        // Control requests count only once the run has started; those made earlier go now.
        for (const request of this.pending) this.sendControl({ ...request, run_id: this.runId });
        this.pending = [];
        this.started(this.pid);
        break;
      case 'stdout':
      case 'stderr':
        this.output(event);
        break;
      case 'foreground': {
        if (typeof event.name === 'string') this._process = event.name;
        const waiter = this.foregroundWaiters.shift();
        if (waiter) waiter({ pid: event.pid, name: event.name, cwd: event.cwd });
        break;
      }
      default:
        break;
    }
  }

  output(event) {
    // The events of one read from the executor are handed out together, as one
    // read of a terminal would be: fewer, larger pieces for whoever renders them.
    const first = this.batch.length === 0 && this.batchText.length === 0;
    if (this.asciiPath && !this.decoderHolds && this.batch.length === 0 && typeof event.base64 === 'string') {
      const text = asciiFromBase64(event.base64);
      if (text !== null) {
        this.batchText += text;
        if (first && text.length > 0) this.executor.atReadEnd(this.flush);
        return;
      }
    }
    let bytes;
    if (typeof event.base64 === 'string') bytes = Buffer.from(event.base64, 'base64');
    else if (typeof event.data === 'string') bytes = Buffer.from(event.data, 'utf8');
    else return;
    if (this.batchText.length > 0) {
      this.batch.push(Buffer.from(this.batchText, 'latin1'));
      this.batchText = '';
    }
    this.batch.push(bytes);
    if (first) this.executor.atReadEnd(this.flush);
  }

  flushOutput() {
    let data;
    if (this.batchText.length > 0) {
      data = this.batchText;
      this.batchText = '';
    } else if (this.batch.length > 0) {
      const bytes = this.batch.length === 1 ? this.batch[0] : Buffer.concat(this.batch);
      this.batch = [];
      data = this.decoder ? this.decoder.write(bytes) : bytes;
      // A Node without the decoder's count of missing bytes never takes the ASCII path again.
      if (this.asciiPath) this.decoderHolds = this.decoder.lastNeed !== 0;
    } else {
      return;
    }
    this.hand(data);
  }

  /** Hands out output (or holds it while paused), and keeps `process` fresh. */
  hand(data) {
    if (data.length > 0) {
      if (this.paused) this.held.push({ data });
      else this.dataListeners.emit(data);
    }
    // Output is when the foreground program may have changed: keep `process`
    // fresh for those who read it, asking a moment later, off the echo's path.
    if (this.processRead && this.foregroundTimer === null && this.state === 'running') {
      const wait = Math.max(FOREGROUND_AFTER_OUTPUT_MS, this.foregroundAsked + FOREGROUND_REFRESH_MS - Date.now());
      this.foregroundTimer = setTimeout(() => {
        this.foregroundTimer = null;
        this.foreground();
      }, wait);
      this.foregroundTimer.unref();
    }
  }

  finish(info) {
    this.flushOutput();
    // The executor reports the exit once the terminal holds no unread output:
    // all of it has been read, and whatever the stream still buffers (while
    // paused) goes before the exit. Each read() hands its chunk to fromMaster.
    if (this.master !== null && !this.master.destroyed) {
      let chunk;
      do chunk = this.master.read();
      while (chunk !== null);
    }
    this.state = 'exited';
    this.pending = [];
    for (const waiter of this.foregroundWaiters.splice(0)) waiter(null);
    clearTimeout(this.foregroundTimer);
    this.foregroundTimer = null;
    if (!this.hungUp) this.pool.release(this.executor);
    const rest = this.decoder ? this.decoder.end() : '';
    if (rest.length > 0) {
      if (this.paused) this.held.push({ data: rest });
      else this.dataListeners.emit(rest);
    }
    if (this.paused && this.held.length > 0) this.held.push({ exit: info });
    else this.deliverExit(info);
    this.closeMaster();
    return info;
  }

  /** Reads the terminal's master: its output goes the way the executor's output events go. */
  readMaster() {
    let master;
    try {
      // Half open: the end of the output does not close the descriptor (see readRest()).
      master = new tty.ReadStream(this.masterFd, { allowHalfOpen: true });
    } catch {
      // Cannot happen with a master opened by the library; should it, the command's output would go nowhere.
      this.closeMaster();
      this.hangUp();
      return;
    }
    this.master = master;
    // EIO once the command and all it started have closed the terminal and
    // their output has been read: the end of the output, which the exit follows.
    master.on('error', () => {});
    master.on('end', () => {
      if (this.master === master && !master.destroyed) this.readRest();
    });
    if (this.paused) master.pause();
    master.on('data', this.fromMaster);
  }

  /**
   * Reads what the terminal still holds once the stream has ended. The stream
   * ends as soon as the terminal reports a hang-up (everyone has closed it)
   * after a read that did not fill its buffer, though the terminal may hold
   * more output than one read takes: it is read here, to the terminal's EIO.
   */
  readRest() {
    for (;;) {
      const bytes = Buffer.allocUnsafe(READ_REST_BYTES);
      let count;
      try {
        count = fs.readSync(this.masterFd, bytes, 0, bytes.length, null);
      } catch {
        return; // EIO: all has been read (EAGAIN: nothing more for now, none expected)
      }
      if (count === 0) return;
      this.fromMaster(bytes.subarray(0, count));
    }
  }

  /**
   * Types into the terminal's master directly. What does not fit now (the
   * command is not reading) is kept, in order, and tried again shortly.
   */
  writeMaster(data) {
    // Bytes kept are copied: the caller may reuse its own.
    if (this.unwritten.length === 0) {
      const bytes = typeof data === 'string' ? data : Buffer.from(data.buffer, data.byteOffset, data.byteLength);
      const rest = this.writeNow(bytes);
      if (rest === true) return;
      this.unwritten.push(typeof data === 'string' ? rest : Buffer.from(rest));
      this.writeTimer = setTimeout(() => this.writeRest(), WRITE_RETRY_MS);
    } else {
      this.unwritten.push(typeof data === 'string' ? Buffer.from(data, 'utf8') : Buffer.from(data));
    }
  }

  /** Writes what it can of `bytes`: true once all is written or never can be, else the bytes left. */
  writeNow(bytes) {
    if (this.masterFd === null || (this.master !== null && this.master.destroyed)) return true; // the command has gone
    let written;
    try {
      written = fs.writeSync(this.masterFd, bytes);
    } catch (err) {
      if (err.code !== 'EAGAIN') return true; // EIO: nobody reads the terminal any more
      written = 0;
    }
    const length = typeof bytes === 'string' ? Buffer.byteLength(bytes) : bytes.length;
    if (written >= length) return true;
    return (typeof bytes === 'string' ? Buffer.from(bytes, 'utf8') : bytes).subarray(written);
  }

  writeRest() {
    this.writeTimer = null;
    while (this.unwritten.length > 0) {
      const done = this.writeNow(this.unwritten[0]);
      if (done !== true) {
        this.unwritten[0] = done;
        this.writeTimer = setTimeout(() => this.writeRest(), WRITE_RETRY_MS);
        return;
      }
      this.unwritten.shift();
    }
  }

  /** Closes the library's master, whose command has ended (or never started). */
  closeMaster() {
    clearTimeout(this.writeTimer);
    this.writeTimer = null;
    this.unwritten = [];
    if (this.master !== null) {
      this.master.destroy(); // closes the descriptor
      this.master = null;
    } else if (this.masterFd !== null) {
      closeFd(this.masterFd);
    }
    this.masterFd = null;
  }

  deliverExit(info) {
    this.exitListeners.emit(info);
  }
}

module.exports = { Terminal, exitInfo, asciiFromBase64 };
