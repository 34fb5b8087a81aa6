'use strict';
// The executors of one client: one per live terminal or pipeline, one for the
// file services, and a few idle ones kept for the next terminal. Those for
// terminals and pipelines are started with a pseudo-terminal master of their
// own; one whose master a terminal has used serves nothing more and is
// replaced by a fresh one. Where the executor runs requests side by side
// ("concurrent"), the file services' executor serves every pipeline too, and
// only the terminals the library reads itself keep an executor each.

const { Executor } = require('./executor');

// The most runs the shared executor is given at once (the executor's own
// limit); a pipeline beyond it gets an executor of its own.
const MAX_SHARED_RUNS = 256;

// Every executor still running, whoever owns it: ended when the Node process exits.
const running = new Set();
process.on('exit', () => {
  for (const executor of running) executor.kill();
});

class Pool {
  constructor(executorPath, maxIdle) {
    this.executorPath = executorPath;
    this.maxIdle = maxIdle;
    this.idle = [];
    this.servicesExecutor = null;
    this.concurrent = undefined; // whether the executor runs requests side by side, once known
    this.closed = false;
    this.executors = new Set();
  }

  start(options) {
    if (this.closed) throw new Error('the client is closed');
    const executor = new Executor(this.executorPath, (gone) => {
      running.delete(gone);
      this.executors.delete(gone);
      this.idle = this.idle.filter((e) => e !== gone);
      if (this.servicesExecutor === gone) this.servicesExecutor = null;
    }, options);
    if (!executor.ended) {
      running.add(executor);
      this.executors.add(executor);
    }
    // Every "hello" reply lists what the executor has, asked for or not.
    executor.hello.then((extensions) => {
      if (executor.answered && this.concurrent === undefined) this.concurrent = extensions.has('concurrent');
    });
    return executor; // referenced only while it serves something: its "hello" first
  }

  /** The executor of the file services (and of pipelines, where shared), started when first needed. */
  services() {
    if (!this.servicesExecutor || !this.servicesExecutor.alive) this.servicesExecutor = this.start({ concurrent: true });
    return this.servicesExecutor;
  }

  /**
   * The executor for one pipeline (on pipes, or on a terminal the executor
   * reads): {executor, shared}. The shared executor where it runs requests
   * side by side and has room, otherwise one of its own as acquire() gives.
   * Throws when the client is closed.
   */
  lease() {
    if (this.closed) throw new Error('the client is closed');
    if (this.concurrent === false) return Promise.resolve({ executor: this.acquire(), shared: false });
    const shared = this.services();
    return shared.hello.then(() => {
      if (shared.concurrent && shared.alive && shared.runs < MAX_SHARED_RUNS) {
        shared.claims += 1; // counted from now on, though its request is written a moment later
        return { executor: shared, shared: true };
      }
      return { executor: this.acquire(), shared: false };
    });
  }

  /** An executor for one terminal or pipeline alone: an idle one, or a new one. */
  acquire() {
    if (this.closed) throw new Error('the client is closed');
    while (this.idle.length > 0) {
      const executor = this.idle.pop();
      if (executor.alive) return executor;
    }
    return this.start({ terminal: true });
  }

  /** Takes back an executor once its run is over. */
  release(executor) {
    if (!executor.alive || executor === this.servicesExecutor) return;
    if (executor.masterUsed) {
      // Its master is gone with the run: a fresh executor keeps one warm in its place.
      executor.closeInput();
      if (!this.closed && this.idle.length < this.maxIdle) this.idle.push(this.start({ terminal: true }));
      return;
    }
    if (!this.closed && !executor.busy && this.idle.length < this.maxIdle) {
      this.idle.push(executor);
    } else {
      executor.closeInput();
    }
  }

  /** Ends every executor; resolves once all have exited. */
  close() {
    this.closed = true;
    const all = [...this.executors];
    for (const executor of all) {
      executor.setReferenced(true); // whoever awaits the close waits for the exits
      if (executor.busy) executor.kill();
      else executor.closeInput();
    }
    this.idle = [];
    return Promise.all(all.map((e) => e.exited)).then(() => undefined);
  }
}

module.exports = { Pool };
