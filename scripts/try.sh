#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine (run as root: installs packages),
# builds the executor and the try-it client, and runs a command line through them:
#   bash scripts/try.sh 'ls -l | wc -l'     # a pipeline
#   bash scripts/try.sh sh                  # an interactive shell on its own terminal
#   bash scripts/try.sh                     # interactive mode: one command line after another
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/try"
bash "$root/scripts/deps.sh"
if [ ! -x "$build/stdio_client" ] || [ ! -x "$build/stdio_executor" ]; then
  echo "Building stdio_executor and stdio_client in $build (a few minutes the first time) ..." >&2
fi
mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELTA_TESTS=OFF &&
       cmake --build "$build" --target stdio_executor stdio_client -j "$(nproc)"; } \
     >"$build/try-build.log" 2>&1; then
  cat "$build/try-build.log" >&2
  exit 1
fi
exec "$build/stdio_client" "$@"
