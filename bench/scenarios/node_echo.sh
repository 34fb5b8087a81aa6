#!/usr/bin/env bash
# Keystroke echo in one Node process on the Node library and on node-pty, rounds
# alternating: a key into cat, and Enter at a bash prompt, until the echo
# arrives. Skipped without node-pty.
set -euo pipefail
if [ ! -e build/nodepty/node_modules/node-pty/build/Release/pty.node ]; then
  echo "skipped: needs node-pty in build/nodepty"
  exit 0
fi
ZELTA_STDIO_EXECUTOR="$ZELTA_EXECUTOR" node bench/node/echo_latency.js build/nodepty
