#!/usr/bin/env bash
# Builds the executor and plays the bundled session examples/demo.jsonl to it,
# one request at a time, printing each request (>>>) and the lines that come
# back for it (<<<).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELTA_TESTS=OFF >/dev/null
cmake --build build/demo --target stdio_executor >/dev/null
session=${1:-examples/demo.jsonl}

coproc EXECUTOR { exec build/demo/stdio_executor; }
executor_pid=$EXECUTOR_PID
to_executor=${EXECUTOR[1]}
from_executor=${EXECUTOR[0]}

# Every top-level request ends with a line that begins with "exit_code": a
# reply, or the exit event of a run (event keys come out in byte order).
while IFS= read -r request || [ -n "$request" ]; do
  printf '\n>>> %s\n' "$request"
  printf '%s\n' "$request" >&"$to_executor"
  while true; do
    if ! IFS= read -r -t 30 line <&"$from_executor"; then
      echo "(no reply within 30 s)" >&2
      exit 1
    fi
    printf '<<< %s\n' "$line"
    [[ $line == '{"exit_code":'* ]] && break
  done
done <"$session"

exec {to_executor}>&-
status=0
wait "$executor_pid" || status=$?
printf '\nend of input: the executor exited with status %d\n' "$status"
