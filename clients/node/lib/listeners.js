'use strict';
// Listener lists with the error behaviour of Node's own events: an exception a
// listener throws becomes an uncaught exception, and the other listeners still run.

class Listeners {
  constructor() {
    this.list = [];
  }

  /** Adds `listener`; the result's dispose() removes it. */
  add(listener) {
    if (typeof listener !== 'function') throw new TypeError('listener must be a function');
    this.list.push(listener);
    return { dispose: () => this.remove(listener) };
  }

  remove(listener) {
    const index = this.list.indexOf(listener);
    if (index !== -1) this.list.splice(index, 1);
  }

  get size() {
    return this.list.length;
  }

  /** Calls every listener present now with `args`, even those after one that throws. */
  emit(...args) {
    for (const listener of [...this.list]) {
      try {
        listener(...args);
      } catch (err) {
        // Thrown from a fresh stack, so it reaches 'uncaughtException' (or ends
        // the process) instead of unwinding through the library's own state.
        process.nextTick(() => {
          throw err;
        });
      }
    }
  }
}

module.exports = { Listeners };
