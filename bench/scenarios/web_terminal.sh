#!/usr/bin/env bash
# The web terminal example in headless Chromium on the Node library and on
# node-pty, rounds alternating: Enter to echo, `seq 1 700000` to its last line
# on screen, and characters lost at exit. Skipped without Chromium or node-pty.
set -euo pipefail
if [ ! -x /usr/bin/chromium ] || [ ! -e build/nodepty/node_modules/node-pty/build/Release/pty.node ] ||
  [ ! -d examples/web-terminal/node_modules ]; then
  echo "skipped: needs /usr/bin/chromium, node-pty in build/nodepty and examples/web-terminal's packages"
  exit 0
fi
ZELTA_STDIO_EXECUTOR="$ZELTA_EXECUTOR" node bench/node/web_terminal.js build/nodepty
