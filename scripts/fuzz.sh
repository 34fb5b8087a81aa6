#!/usr/bin/env bash
# Builds the fuzz targets with clang (coverage + ASan + UBSan) in build/fuzz and
# runs each for a bounded time: scripts/fuzz.sh [seconds-per-target] [target...]
# (default 60 s, every target). Each run starts from the committed seeds in
# fuzz/corpus/<target> and keeps what it finds in build/fuzz/corpus/<target>,
# so repeated runs build on each other. A crash leaves its input in
# build/fuzz/artifacts/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
dir=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELTA_FUZZ=ON -DZELTA_TESTS=OFF >/dev/null
if [ $# -gt 0 ]; then targets=("$@"); else
  targets=()
  for source in fuzz/*_fuzz.cc; do targets+=("$(basename "$source" .cc)"); done
fi
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
mkdir -p "$dir/artifacts"
status=0
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  work="$dir/corpus/$name"
  mkdir -p "$work"
  log="$dir/$target.log"
  echo "== $target (${seconds}s)"
  if ! ASAN_OPTIONS=detect_leaks=1 "$dir/fuzz/$target" -max_total_time="$seconds" \
      -dict=fuzz/protocol.dict -max_len=8192 -timeout=10 -rss_limit_mb=4096 \
      -artifact_prefix="$dir/artifacts/$name-" -print_final_stats=1 \
      "$work" "fuzz/corpus/$name" >"$log" 2>&1; then
    echo "FAILED: $target (log: $log)"
    tail -n 40 "$log"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^#[0-9]+ +DONE' "$log" | tail -n 2 || true
done
exit $status
