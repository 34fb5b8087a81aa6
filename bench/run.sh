#!/usr/bin/env bash
# Builds the executor and the baselines optimised, then runs every scenario in
# bench/scenarios (or only those named on the command line). Each scenario
# prints its figures: the executor's, the baseline's (measured in the same
# run), and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELTA_TESTS=OFF -DZELTA_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)" >/dev/null
# node-pty, a peer in the terminal latency figures, is installed for the
# benchmark only, into a scratch directory; without it that column is skipped.
if [ ! -e build/nodepty/node_modules/node-pty/build/Release/pty.node ] && command -v npm >/dev/null; then
  mkdir -p build/nodepty
  npm install --prefix build/nodepty --no-save --no-audit --no-fund node-pty@1.0.0 \
    >build/nodepty/install.log 2>&1 || echo "node-pty could not be installed (build/nodepty/install.log)"
fi
# The paste scenario's baseline: the executor with unpaced typed input.
cmake -S . -B build/bench-unpaced -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELTA_TESTS=OFF \
  -DZELTA_INPUT_CHUNK_SIZE=0 >/dev/null
cmake --build build/bench-unpaced -j "$(nproc)" --target stdio_executor >/dev/null
export ZELTA_EXECUTOR_UNPACED=$PWD/build/bench-unpaced/stdio_executor
# An earlier release, built from its commit, beside this build in the scenarios
# that compare executors (ZELTA_BENCH_COMPARE; the turn-taking echo). Set
# ZELTA_BENCH_BASELINE_REF= (empty) to skip it.
baseline_ref=${ZELTA_BENCH_BASELINE_REF-b0c854e}
if [ -n "$baseline_ref" ] && git rev-parse -q --verify "$baseline_ref^{commit}" >/dev/null; then
  baseline_dir=build/bench-ref/$baseline_ref
  if [ ! -d "$baseline_dir/src" ]; then
    mkdir -p "$baseline_dir/src"
    git archive "$baseline_ref" | tar -x -C "$baseline_dir/src"
  fi
  cmake -S "$baseline_dir/src" -B "$baseline_dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DZELTA_TESTS=OFF >/dev/null
  cmake --build "$baseline_dir/build" -j "$(nproc)" --target stdio_executor >/dev/null
  export ZELTA_BENCH_COMPARE=$PWD/$baseline_dir/build/stdio_executor${ZELTA_BENCH_COMPARE:+:$ZELTA_BENCH_COMPARE}
elif [ -n "$baseline_ref" ]; then
  echo "baseline $baseline_ref not in this repository: scenarios compare this build alone"
fi
export ZELTA_BUILD=$PWD/build/bench
export ZELTA_EXECUTOR=$ZELTA_BUILD/stdio_executor
if [ $# -gt 0 ]; then scenarios=("$@"); else scenarios=(bench/scenarios/*); fi
for scenario in "${scenarios[@]}"; do
  [ -e "$scenario" ] || continue
  echo "== $(basename "$scenario")"
  case "$scenario" in
    *.py) python3 "$scenario" ;;
    *) bash "$scenario" ;;
  esac
done
