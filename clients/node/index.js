'use strict';
// zelta-stdio-executor: terminals, pipelines and file services from stdio_executor.

const { Client } = require('./lib/client');
const { ExecutorError } = require('./lib/executor');

let shared = null;

function client() {
  if (!shared) shared = new Client();
  return shared;
}

module.exports = {
  Client,
  ExecutorError,
  createClient: (options) => new Client(options),
  spawn: (file, args, options) => client().spawn(file, args, options),
  // node-pty's older names for spawn.
  fork: (file, args, options) => client().spawn(file, args, options),
  createTerminal: (file, args, options) => client().spawn(file, args, options),
  spawnPipeline: (commands, options) => client().spawnPipeline(commands, options),
  runPipeline: (commands, options) => client().runPipeline(commands, options),
  readFile: (file) => client().readFile(file),
  glob: (patterns, options) => client().glob(patterns, options),
  processSubstPath: () => client().processSubstPath(),
  /** Ends the shared client's terminals and executors; the next call starts afresh. */
  close: () => {
    const closing = shared ? shared.close() : Promise.resolve();
    shared = null;
    return closing;
  },
};
