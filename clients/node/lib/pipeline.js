'use strict';
// A pipeline run on pipes: its output collected, and handed out live when the
// caller listens; stoppable by a signal, through kill() or an AbortSignal.

const { BASIC, signalName, signalNumber } = require('./signals');
const { pipelineNode, runRequest } = require('./request');

function abortError(reason, result) {
  const err = new Error('the pipeline was aborted', { cause: reason });
  err.name = 'AbortError';
  err.code = 'ABORT_ERR';
  err.result = result;
  return err;
}

function checkCallback(value, what) {
  if (value !== undefined && typeof value !== 'function') throw new TypeError(`${what} must be a function`);
}

/**
 * Runs [[command, ...args], ...] on the executor shared with the file services
 * where it runs requests side by side, else on an executor of its own (a
 * pipeline that never ends must not hold up the file services). Resolves to
 * {stdout, stderr, exitCode, signal?}; the promise also has kill(signal).
 */
function runPipeline(pool, commands, options = {}) {
  try {
    return start(pool, commands, options);
  } catch (err) {
    // Bad arguments reject, as every other failure does.
    const refused = Promise.reject(err);
    refused.kill = () => {};
    return refused;
  }
}

function start(pool, commands, options) {
  const ast = pipelineNode(commands);
  checkCallback(options.onStdout, 'onStdout');
  checkCallback(options.onStderr, 'onStderr');
  const killSignal = signalName(options.killSignal === undefined ? 'SIGTERM' : options.killSignal);
  if (!killSignal) throw new TypeError(`unknown signal ${String(options.killSignal)}`);
  const abort = options.signal;
  if (abort !== undefined && !(abort instanceof AbortSignal)) throw new TypeError('signal must be an AbortSignal');
  const out = { stdout: '', stderr: '' };
  const result = () => ({ stdout: out.stdout, stderr: out.stderr, exitCode: 1 });
  if (abort?.aborted) {
    const refused = Promise.reject(abortError(abort.reason, result()));
    refused.kill = () => {};
    return refused;
  }

  const lease = pool.lease(); // throws when the client is closed, as acquire() does
  let executor = null;
  let shared = false;
  let runId = null;
  let state = 'waiting'; // waiting (no "recv" yet) | running | ended
  let stopWith = null; // the signal asked for before the run was under way
  let stopped = false;
  let abandoned = false; // the executor was ended to stop the run

  const send = (name) => {
    stopped = true;
    // An executor that streams pipelines also reads signals meant for them; an
    // older one cannot be reached during the run, and is ended instead (never
    // the shared one, which serves others and reads signals anyway).
    if (shared || (executor.has('stream') && (BASIC.has(name) || executor.has('signals')))) {
      executor.send({ type: 'run.signal', run_id: runId, signal: name });
    } else {
      abandoned = true;
      executor.kill();
    }
  };
  const kill = (signal = killSignal) => {
    const name = signalName(signal);
    if (!name) throw new TypeError(`unknown signal ${String(signal)}`);
    if (state === 'waiting') stopWith = name;
    else if (state === 'running') send(name);
  };
  const onAbort = () => kill(killSignal);
  abort?.addEventListener('abort', onAbort, { once: true });

  const onEvent = (event) => {
    if (event.type === 'recv') {
      state = 'running';
      if (stopWith) send(stopWith);
    } else if ((event.type === 'stdout' || event.type === 'stderr') && typeof event.data === 'string') {
      out[event.type] += event.data;
      const listener = event.type === 'stdout' ? options.onStdout : options.onStderr;
      if (listener) listener(event.data);
    }
  };
  const running = lease
    .then((leased) => {
      ({ executor, shared } = leased);
      runId = executor.newRunId();
      return executor.hello;
    })
    .then(() => {
      const request = runRequest(runId, ast, options);
      if (executor.has('stream')) request.stream = true;
      return executor.request(request, onEvent);
    })
    .then(
      (exit) => {
        const value = { ...result(), exitCode: exit.exit_code };
        if (typeof exit.signal === 'string') value.signal = signalNumber(exit.signal);
        return value;
      },
      (err) => {
        if (abandoned) return result(); // how the members ended is not reported then
        throw err;
      },
    )
    .then((value) => {
      if (abort?.aborted && stopped) throw abortError(abort.reason, value);
      return value;
    })
    .finally(() => {
      state = 'ended';
      abort?.removeEventListener('abort', onAbort);
      if (!abandoned && executor !== null) pool.release(executor);
    });
  running.kill = kill;
  return running;
}

module.exports = { runPipeline };
