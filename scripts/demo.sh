#!/usr/bin/env bash
# Builds the executor and plays the bundled session examples/demo.jsonl to it,
# printing each request (>>>) and the lines that come back for it (<<<).
# Top-level requests are sent one at a time, each after the previous one was
# answered. A control request (stdin.write, run.signal, stream.flush) that
# follows a "run.ast" line is sent while that command runs, once it started.
# Then, when run in a terminal, it opens the try-it client there, so you can
# type command lines yourself (`ls -l | wc -l`, an interactive `sh`, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELTA_TESTS=OFF >/dev/null
cmake --build build/demo --target stdio_executor stdio_client >/dev/null
session=${1:-examples/demo.jsonl}

coproc EXECUTOR { exec build/demo/stdio_executor; }
executor_pid=$EXECUTOR_PID
to_executor=${EXECUTOR[1]}
from_executor=${EXECUTOR[0]}
running=0  # a command is running on a terminal: its exit event is still due

# Prints output lines until one that ends a request: a line beginning with
# "exit_code" (a reply, or the exit event of a run: event keys are in byte
# order). With "started" as argument, also stops after a "started" event.
receive() {
  local line
  while true; do
    if ! IFS= read -r -t 30 line <&"$from_executor"; then
      echo "(no reply within 30 s)" >&2
      exit 1
    fi
    printf '<<< %s\n' "$line"
    [[ $line == '{"exit_code":'* ]] && return 0
    [[ ${1:-} == started && $line == *'"type":"started"}' ]] && return 1
  done
}

# Prints what a running command writes within half a second; notes its end.
receive_briefly() {
  local line
  while IFS= read -r -t 0.5 line <&"$from_executor"; do
    printf '<<< %s\n' "$line"
    if [[ $line == '{"exit_code":'* ]]; then
      running=0
      return
    fi
  done
}

is_control() {
  [[ $1 =~ \"type\":\"(stdin\.write|run\.signal|stream\.flush)\" ]]
}

while IFS= read -r request || [ -n "$request" ]; do
  if ((running)) && ! is_control "$request"; then
    receive
    running=0
  fi
  printf '\n>>> %s\n' "$request"
  printf '%s\n' "$request" >&"$to_executor"
  if ((running)); then
    receive_briefly
  elif [[ $request == *'"type":"run.ast"'* ]]; then
    receive started || running=1
  else
    receive
  fi
done <"$session"
((running)) && receive

exec {to_executor}>&-
status=0
wait "$executor_pid" || status=$?
printf '\nend of input: the executor exited with status %d\n' "$status"

if [ -t 0 ] && [ -t 1 ]; then
  printf '\nNow try it yourself: type a command line such as  ls -l | wc -l  or  sh\n'
  printf '(Ctrl-D or "exit" leaves; add --trace to see the protocol lines.)\n\n'
  exec build/demo/stdio_client -i
fi
