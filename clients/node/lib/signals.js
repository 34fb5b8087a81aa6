'use strict';
// Signal names and numbers as the library takes and reports them.

const os = require('node:os');

const NUMBERS = os.constants.signals; // { SIGHUP: 1, ... } of this system

/**
 * The executor's name of a signal ("HUP") from what a caller gives: "SIGHUP",
 * "HUP" or the number 1. Undefined for anything the system does not know.
 */
function signalName(signal) {
  if (typeof signal === 'number') {
    const found = Object.keys(NUMBERS).find((name) => NUMBERS[name] === signal);
    return found && found.slice(3);
  }
  if (typeof signal !== 'string') return undefined;
  const full = signal.startsWith('SIG') ? signal : `SIG${signal}`;
  return Object.prototype.hasOwnProperty.call(NUMBERS, full) ? full.slice(3) : undefined;
}

/** The number of a signal named without "SIG" ("INT" is 2); 0 when unknown. */
function signalNumber(name) {
  return NUMBERS[`SIG${name}`] || 0;
}

// The names every executor accepts; the others need its "signals" extension.
const BASIC = new Set(['INT', 'TERM', 'KILL']);

module.exports = { signalName, signalNumber, BASIC };
